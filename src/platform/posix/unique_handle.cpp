#include "platform/unique_handle.h"

#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

namespace velmora::vpn::platform {

LastErrorKeeper::LastErrorKeeper() noexcept : errno_(errno) {}
LastErrorKeeper::~LastErrorKeeper() { errno = errno_; }

// Every call that makes a descriptor returns -1 when it fails.
NativeHandle NativeHandleTraits::invalid() noexcept { return -1; }
bool NativeHandleTraits::isValid(NativeHandle value) noexcept { return value != invalid(); }
void NativeHandleTraits::close(NativeHandle value) noexcept { ::close(value); }

void closeSocket(std::intptr_t socket) noexcept { ::close(static_cast<int>(socket)); }

void unloadLibrary(void* library) noexcept { dlclose(library); }

}  // namespace velmora::vpn::platform
