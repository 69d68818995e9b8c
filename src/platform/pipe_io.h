#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/system_error.h"
#include "platform/unique_handle.h"

// Blocking byte moves on one connected pipe (a named pipe instance on
// Windows, a connected Unix domain socket elsewhere), and on files.
namespace velmora::vpn::platform {

// One read or write call: `ok` with the bytes moved (0 means the peer closed),
// or not `ok` with the call ("ReadFile", "read", ...) and the system error
// code read right after it.
struct IoCall {
    bool ok = false;
    std::uint32_t count{};
    SystemError error;
};

IoCall readSome(NativeHandle pipe, void* destination, std::uint32_t count);
IoCall writeSome(NativeHandle pipe, const void* source, std::uint32_t count);
// One write to a file or a terminal, which writeSome (for pipes) is not on POSIX.
IoCall writeFileSome(NativeHandle file, const void* source, std::uint32_t count);

// How a whole move ended: `done`, or stopped by `last`, a call that failed or
// that moved nothing (the other end has closed).
struct WholeMove {
    bool done = false;
    IoCall last;
};

// The one loop that moves a whole buffer: one call after another (readSome,
// writeSome or writeFileSome, bound to its handle), a short move simply
// leading to the next.
template <typename Byte, typename Call>
WholeMove moveAll(Byte* position, std::uint64_t count, Call call) {
    while (count > 0) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 0xFFFFFFFFu));
        const IoCall moved = call(position, chunk);
        if (!moved.ok || moved.count == 0) return {false, moved};
        position += moved.count;
        count -= moved.count;
    }
    return {true, {}};
}

}  // namespace velmora::vpn::platform
