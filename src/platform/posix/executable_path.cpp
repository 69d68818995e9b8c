#include "platform/executable_path.h"

#include <climits>
#include <unistd.h>

#include "platform/text.h"

namespace velmora::vpn::platform {

std::optional<std::wstring> executablePath() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::nullopt;
    return fromUtf8(std::string(path, static_cast<std::size_t>(length)));
}

}  // namespace velmora::vpn::platform
