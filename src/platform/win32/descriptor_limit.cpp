#include "platform/descriptor_limit.h"

namespace velmora::vpn::platform {

// Handles are limited per process only by memory (about sixteen million);
// sockets, files and pipes do not run out as descriptors do on Linux.
bool raiseDescriptorLimit() { return true; }
std::optional<std::size_t> descriptorsLeft() { return std::nullopt; }

// Windows lets every user listen on every port.
bool lowPortsNeedPrivilege() { return false; }

}  // namespace velmora::vpn::platform
