#include "platform/process_memory.h"

#include <malloc.h>

namespace velmora::vpn::platform {

// A fixed threshold also turns off glibc's raising of it.
void returnLargeFreedMemory() { mallopt(M_MMAP_THRESHOLD, static_cast<int>(kReturnedBlockBytes)); }

}  // namespace velmora::vpn::platform
