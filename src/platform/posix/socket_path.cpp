#include "platform/posix/socket_path.h"

#include <cstdlib>
#include <unistd.h>

#include "platform/text.h"

namespace velmora::vpn::platform {

std::string socketPathForPipeName(const std::wstring& pipeName) {
    static const std::wstring kPipePrefix = L"\\\\.\\pipe\\";
    if (!pipeName.empty() && pipeName.front() == L'/') return toUtf8(pipeName);
    if (pipeName.size() <= kPipePrefix.size() || pipeName.compare(0, kPipePrefix.size(), kPipePrefix) != 0) return {};

    const std::string name = toUtf8(pipeName.substr(kPipePrefix.size()));
    if (name.empty() || name.find('/') != std::string::npos) return {};
    if (geteuid() == 0) return "/run/" + name;
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir != nullptr && runtimeDir[0] == '/') return std::string(runtimeDir) + "/" + name;
    return "/tmp/" + name;
}

}  // namespace velmora::vpn::platform
