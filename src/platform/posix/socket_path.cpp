#include "platform/socket_path.h"

#include <cstdlib>
#include <unistd.h>

#include "platform/text.h"

namespace velmora::vpn::platform {
namespace {

// The NAME of "\\.\pipe\NAME", or empty when the name has another form.
std::string pipeBaseName(const std::wstring& pipeName) {
    static const std::wstring kPipePrefix = L"\\\\.\\pipe\\";
    if (pipeName.size() <= kPipePrefix.size() || pipeName.compare(0, kPipePrefix.size(), kPipePrefix) != 0) return {};
    const std::string name = toUtf8(pipeName.substr(kPipePrefix.size()));
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return {};
    return name;
}

std::string runtimeFolder() {
    const char* folder = std::getenv("XDG_RUNTIME_DIR");
    return folder != nullptr && folder[0] == '/' ? std::string(folder) : std::string();
}

}  // namespace

std::string serviceSocketPath(const std::wstring& pipeName, bool root, const std::string& runtimeFolder) {
    if (!pipeName.empty() && pipeName.front() == L'/') return toUtf8(pipeName);
    const std::string name = pipeBaseName(pipeName);
    if (name.empty()) return {};
    if (root) return "/run/" + name;
    return runtimeFolder.empty() ? std::string() : runtimeFolder + "/" + name;
}

std::vector<std::string> clientSocketPaths(const std::wstring& pipeName, const std::string& runtimeFolder) {
    if (!pipeName.empty() && pipeName.front() == L'/') return {toUtf8(pipeName)};
    const std::string name = pipeBaseName(pipeName);
    if (name.empty()) return {};
    std::vector<std::string> paths;
    if (!runtimeFolder.empty()) paths.push_back(runtimeFolder + "/" + name);
    paths.push_back("/run/" + name);
    return paths;
}

std::string socketPathForPipeName(const std::wstring& pipeName) {
    return serviceSocketPath(pipeName, geteuid() == 0, runtimeFolder());
}

std::vector<std::string> clientSocketPaths(const std::wstring& pipeName) {
    return clientSocketPaths(pipeName, runtimeFolder());
}

}  // namespace velmora::vpn::platform
