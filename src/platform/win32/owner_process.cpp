#include "platform/owner_process.h"

#include <windows.h>

#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

bool isOwnerGone(std::uint32_t ownerProcessId) {
    platform::KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, ownerProcessId));
    if (!process) {
        // 87 means no process has that id; anything else (access denied, ...)
        // keeps the owner watched.
        return GetLastError() == ERROR_INVALID_PARAMETER;
    }
    return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

}  // namespace velmora::vpn::platform
