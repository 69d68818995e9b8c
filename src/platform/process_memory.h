#pragma once

#include <cstddef>

namespace velmora::vpn::platform {

// The size from which a freed block goes back to the system at once.
inline constexpr std::size_t kReturnedBlockBytes = 256 * 1024;

// Makes memory blocks of kReturnedBlockBytes and more go back to the system as soon as
// they are freed. Request bodies and their parses are such blocks; kept by
// the allocator for reuse (glibc raises its threshold after each large free),
// a burst of large requests would leave the service's resident memory at its
// peak for good. Windows' heap already returns blocks that large. Called once
// at start, before any client thread runs.
void returnLargeFreedMemory();

}  // namespace velmora::vpn::platform
