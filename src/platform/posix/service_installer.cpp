#include "install/service_installer.h"

#include <climits>
#include <iostream>
#include <unistd.h>

#include "platform/text.h"

namespace velmora::vpn {

std::optional<std::wstring> executablePath() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::nullopt;
    return fromUtf8(std::string(path, static_cast<std::size_t>(length)));
}

// No service manager support here yet: run the program with --service under
// systemd (see examples/velmora-vpn-service.service) instead.
std::uint32_t install(const ServiceOptions&) {
    std::cerr << "Service installation is not supported on this platform yet; run VelmoraVpnService --service under "
                 "a service manager such as systemd"
              << std::endl;
    return kNotSupportedExitCode;
}

std::uint32_t uninstall() {
    std::cerr << "Service removal is not supported on this platform yet; remove the service from your service manager"
              << std::endl;
    return kNotSupportedExitCode;
}

}  // namespace velmora::vpn
