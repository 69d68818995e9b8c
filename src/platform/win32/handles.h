#pragma once

#include <windows.h>
#include <winsvc.h>

#include "platform/unique_handle.h"

// Owning wrappers for the Windows handle kinds the service uses. Each close
// keeps the thread's last error, so a GetLastError() after a cleanup still
// describes the call that failed.
namespace velmora::vpn::platform {

struct KernelHandleTraits {  // process, thread, event: invalid is null
    using Value = HANDLE;
    static Value invalid() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void close(Value v) {
        const DWORD saved = GetLastError();
        CloseHandle(v);
        SetLastError(saved);
    }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

struct FileHandleTraits {  // files and pipe instances: invalid is INVALID_HANDLE_VALUE
    using Value = HANDLE;
    static Value invalid() { return INVALID_HANDLE_VALUE; }
    static bool isValid(Value v) { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void close(Value v) { KernelHandleTraits::close(v); }
};
using FileHandle = UniqueHandle<FileHandleTraits>;

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value invalid() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) {
        const DWORD saved = GetLastError();
        CloseServiceHandle(v);
        SetLastError(saved);
    }
};
using ServiceHandle = UniqueHandle<ServiceHandleTraits>;

struct LocalMemoryTraits {  // memory the system allocated for us (FormatMessage, SDDL, argv)
    using Value = HLOCAL;
    static Value invalid() { return nullptr; }
    static bool isValid(Value v) { return v != nullptr; }
    static void close(Value v) {
        const DWORD saved = GetLastError();
        LocalFree(v);
        SetLastError(saved);
    }
};
using LocalMemory = UniqueHandle<LocalMemoryTraits>;

}  // namespace velmora::vpn::platform
