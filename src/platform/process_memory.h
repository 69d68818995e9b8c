#pragma once

namespace velmora::vpn::platform {

// Makes memory blocks of 256 KiB and more go back to the system as soon as
// they are freed. Request bodies and their parses are such blocks; kept by
// the allocator for reuse (glibc raises its threshold after each large free),
// a burst of large requests would leave the service's resident memory at its
// peak for good. Windows' heap already returns blocks that large. Called once
// at start, before any client thread runs.
void returnLargeFreedMemory();

}  // namespace velmora::vpn::platform
