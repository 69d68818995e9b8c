#include "platform/process_memory.h"

namespace velmora::vpn::platform {

// The Windows heap allocates blocks this large straight from virtual memory
// and releases them on free: nothing to set.
void returnLargeFreedMemory() {}

}  // namespace velmora::vpn::platform
