#pragma once

#include <cstdint>

namespace velmora::vpn::platform {

// True only when no process with this id exists any more. A process that
// exists, or that this service may not examine, is not gone.
bool isOwnerGone(std::uint32_t ownerProcessId);

// The id of this process, as an owner process id.
std::uint32_t currentProcessId();

}  // namespace velmora::vpn::platform
