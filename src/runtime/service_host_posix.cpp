#include "runtime/service_host.h"

#include <cerrno>

namespace velmora::vpn {

// There is no service manager to connect to: a service manager such as
// systemd starts the program with --service, which runs the runtime directly.
std::uint32_t runServiceDispatcher() { return ENOTSUP; }

bool serviceManagerAvailable() { return false; }

}  // namespace velmora::vpn
