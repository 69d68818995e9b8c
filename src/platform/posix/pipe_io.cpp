#include "platform/pipe_io.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora::vpn::platform {

IoCall readSome(NativeHandle pipe, void* destination, std::uint32_t count) {
    for (;;) {
        const ssize_t n = ::read(pipe, destination, count);
        if (n >= 0) return {true, static_cast<std::uint32_t>(n), 0};
        if (errno != EINTR) return {false, 0, static_cast<std::uint32_t>(errno)};
    }
}

IoCall writeSome(NativeHandle pipe, const void* source, std::uint32_t count) {
    for (;;) {
        // MSG_NOSIGNAL: a client that went away must cost an error, not SIGPIPE.
        const ssize_t n = ::send(pipe, source, count, MSG_NOSIGNAL);
        if (n >= 0) return {true, static_cast<std::uint32_t>(n), 0};
        if (errno != EINTR) return {false, 0, static_cast<std::uint32_t>(errno)};
    }
}

IoCall writeFileSome(NativeHandle file, const void* source, std::uint32_t count) {
    for (;;) {
        const ssize_t n = ::write(file, source, count);
        if (n >= 0) return {true, static_cast<std::uint32_t>(n), 0};
        if (errno != EINTR) return {false, 0, static_cast<std::uint32_t>(errno)};
    }
}

const char* readCallName() { return "read"; }
const char* writeCallName() { return "send"; }

std::string systemErrorMessage(std::uint32_t code) {
    char buffer[256] = {};
    // GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string();
}

const char* systemErrorLabel() { return "error"; }

}  // namespace velmora::vpn::platform
