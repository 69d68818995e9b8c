#include "platform/pipe_io.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora::vpn::platform {

IoCall readSome(NativeHandle pipe, void* destination, std::uint32_t count) {
    for (;;) {
        const ssize_t n = ::read(pipe, destination, count);
        if (n >= 0) return {true, static_cast<std::uint32_t>(n), {}};
        if (errno != EINTR) return {false, {}, {"read", static_cast<std::uint32_t>(errno), {}}};
    }
}

IoCall writeSome(NativeHandle pipe, const void* source, std::uint32_t count) {
    for (;;) {
        // MSG_NOSIGNAL: a client that went away must cost an error, not SIGPIPE.
        const ssize_t n = ::send(pipe, source, count, MSG_NOSIGNAL);
        if (n >= 0) return {true, static_cast<std::uint32_t>(n), {}};
        if (errno != EINTR) return {false, {}, {"send", static_cast<std::uint32_t>(errno), {}}};
    }
}

IoCall writeFileSome(NativeHandle file, const void* source, std::uint32_t count) {
    for (;;) {
        const ssize_t n = ::write(file, source, count);
        if (n >= 0) return {true, static_cast<std::uint32_t>(n), {}};
        if (errno != EINTR) return {false, {}, {"write", static_cast<std::uint32_t>(errno), {}}};
    }
}

}  // namespace velmora::vpn::platform
