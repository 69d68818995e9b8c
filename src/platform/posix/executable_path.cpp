#include "platform/executable_path.h"

#include <filesystem>
#include <system_error>

#include "platform/text.h"

namespace velmora::vpn::platform {

std::optional<std::wstring> executablePath() {
    std::error_code failed;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed) return std::nullopt;
    return fromUtf8(path.string());
}

}  // namespace velmora::vpn::platform
