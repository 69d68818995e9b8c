#pragma once

#include <cstdint>
#include <utility>

// Windows' service handle type (an SC_HANDLE points at one), by its own name.
struct SC_HANDLE__;  // NOLINT(bugprone-reserved-identifier)
struct HKEY__;       // NOLINT(bugprone-reserved-identifier)

// Every operating-system resource the service holds is owned by one
// UniqueHandle, one line per kind below. The template is the only place that
// closes anything, and the only place that keeps the thread's last error
// across a close, so that a failure read after a cleanup still describes the
// call that failed.
namespace velmora::vpn::platform {

#if defined(_WIN32)
using NativeHandle = void*;  // HANDLE
#else
using NativeHandle = int;  // file descriptor
#endif

// Restores the thread's last error (errno, and GetLastError on Windows) when
// it goes, as it was when it was made.
class LastErrorKeeper {
public:
    LastErrorKeeper() noexcept;
    ~LastErrorKeeper();
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    int errno_;
    [[maybe_unused]] unsigned long system_ = 0;  // GetLastError, on Windows
};

// Owns one resource and releases it exactly once. `Traits` names the value
// type, its empty value, whether a value holds anything, and how to close it.
template <typename Traits>
class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value_(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Value get() const noexcept { return value_; }
    bool valid() const noexcept { return Traits::isValid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    Value release() noexcept { return std::exchange(value_, Traits::invalid()); }

    void reset(Value value = Traits::invalid()) noexcept {
        Value old = std::exchange(value_, value);
        if (!Traits::isValid(old)) return;
        const LastErrorKeeper keep;
        Traits::close(old);
    }

private:
    Value value_ = Traits::invalid();
};

// The common kind: empty is `Empty` (null unless given), released by `Close`.
template <typename T, void (*Close)(T) noexcept, T Empty = T{}>
struct ClosedBy {
    using Value = T;
    static constexpr Value invalid() noexcept { return Empty; }
    static bool isValid(Value value) noexcept { return value != Empty; }
    static void close(Value value) noexcept { Close(value); }
};

// A descriptor on POSIX; on Windows a file, pipe or thread handle, empty as
// INVALID_HANDLE_VALUE (null counts as empty too).
struct NativeHandleTraits {
    using Value = NativeHandle;
    static Value invalid() noexcept;
    static bool isValid(Value value) noexcept;
    static void close(Value value) noexcept;
};
using OwnedHandle = UniqueHandle<NativeHandleTraits>;

// A network socket: a descriptor on POSIX, a Winsock SOCKET on Windows
// (INVALID_SOCKET is -1 here too).
void closeSocket(std::intptr_t socket) noexcept;
using OwnedSocket = UniqueHandle<ClosedBy<std::intptr_t, closeSocket, -1>>;

// A loaded shared library (dlclose / FreeLibrary).
void unloadLibrary(void* library) noexcept;
using LibraryHandle = UniqueHandle<ClosedBy<void*, unloadLibrary>>;

// Windows only: processes, tokens and events (null when empty), service
// manager handles, registry keys, and memory the system allocated for us (FormatMessage,
// security descriptors, SDDL texts, argv).
void closeKernelObject(void* handle) noexcept;
void closeServiceObject(SC_HANDLE__* handle) noexcept;
void closeRegistryKey(HKEY__* key) noexcept;
void freeLocalMemory(void* memory) noexcept;
using KernelHandle = UniqueHandle<ClosedBy<void*, closeKernelObject>>;
using ServiceHandle = UniqueHandle<ClosedBy<SC_HANDLE__*, closeServiceObject>>;
using RegistryKey = UniqueHandle<ClosedBy<HKEY__*, closeRegistryKey>>;
using LocalMemory = UniqueHandle<ClosedBy<void*, freeLocalMemory>>;

}  // namespace velmora::vpn::platform
