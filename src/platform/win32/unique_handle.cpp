#include "platform/unique_handle.h"

#include <cerrno>

#include <winsock2.h>
#include <windows.h>
#include <winsvc.h>

namespace velmora::vpn::platform {

LastErrorKeeper::LastErrorKeeper() noexcept : errno_(errno), system_(GetLastError()) {}
LastErrorKeeper::~LastErrorKeeper() {
    SetLastError(system_);
    errno = errno_;
}

NativeHandle NativeHandleTraits::invalid() noexcept { return INVALID_HANDLE_VALUE; }
bool NativeHandleTraits::isValid(NativeHandle value) noexcept {
    return value != nullptr && value != INVALID_HANDLE_VALUE;
}
void NativeHandleTraits::close(NativeHandle value) noexcept { CloseHandle(value); }

void closeSocket(std::intptr_t socket) noexcept { closesocket(static_cast<SOCKET>(socket)); }

void unloadLibrary(void* library) noexcept { FreeLibrary(static_cast<HMODULE>(library)); }
void closeKernelObject(void* handle) noexcept { CloseHandle(handle); }
void closeServiceObject(SC_HANDLE__* handle) noexcept { CloseServiceHandle(handle); }
void closeRegistryKey(HKEY__* key) noexcept { RegCloseKey(key); }
void freeLocalMemory(void* memory) noexcept { LocalFree(memory); }

}  // namespace velmora::vpn::platform
