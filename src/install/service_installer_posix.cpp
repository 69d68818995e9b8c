#include "install/service_installer.h"

#include <iostream>

namespace velmora::vpn {

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
