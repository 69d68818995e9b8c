#pragma once

#include <cstdint>

namespace velmora::vpn {

// Hands the service entry to the Service Control Manager's dispatcher and
// blocks while the service runs. Returns 0 when the dispatcher ran and
// returned normally, otherwise the system's error code for its failure (on
// Windows 1063 when the program was not started by the manager).
std::uint32_t runServiceDispatcher();

}  // namespace velmora::vpn

namespace velmora::vpn {

// True where a service manager hands the service entry to the program
// through a dispatcher (Windows). Elsewhere a service manager such as systemd
// simply starts the program with --service.
bool serviceManagerAvailable();

}  // namespace velmora::vpn
