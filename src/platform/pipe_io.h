#pragma once

#include <cstdint>
#include <string>

// Blocking byte moves on one connected pipe (a named pipe instance on
// Windows, a connected Unix domain socket elsewhere) and the system's texts for
// its error codes.
namespace velmora::vpn::platform {

#if defined(_WIN32)
using NativeHandle = void*;  // HANDLE
#else
using NativeHandle = int;  // file descriptor
#endif

// One read or write call: `ok` with the bytes moved (0 means the peer closed),
// or not `ok` with the system error code read right after the failing call.
struct IoCall {
    bool ok = false;
    std::uint32_t count = 0;
    std::uint32_t error = 0;
};

IoCall readSome(NativeHandle pipe, void* destination, std::uint32_t count);
IoCall writeSome(NativeHandle pipe, const void* source, std::uint32_t count);

// Names of the calls above as they appear in failure texts ("ReadFile" / "read").
const char* readCallName();
const char* writeCallName();

// The system's message for an error code exactly as the system gives it, or
// an empty text when it has none.
std::string systemErrorMessage(std::uint32_t code);

// The word for the system's error codes in failure texts ("Windows error").
const char* systemErrorLabel();

}  // namespace velmora::vpn::platform
