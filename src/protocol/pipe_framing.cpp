#include "protocol/pipe_framing.h"

#include "platform/error_text.h"

#include <algorithm>

namespace velmora::vpn {
namespace {

constexpr std::size_t kFirstBodyChunk = 64 * 1024;
constexpr std::size_t kFirstRead = 4096;

// Moves exactly `count` bytes, and says in the pipe's texts how it failed.
// Reading and writing differ only in the call and the text for a closed pipe.
template <typename Byte, typename Call>
bool moveExact(Byte* position, std::uint64_t count, Call call, const char* closedText, std::string& error) {
    const platform::WholeMove move = platform::moveAll(position, count, call);
    if (move.done) return true;
    error = move.last.ok ? closedText : platform::failureText(move.last.error);
    return false;
}

}  // namespace

bool readExact(platform::NativeHandle pipe, void* destination, std::uint64_t count, std::string& error) {
    return moveExact(
        static_cast<unsigned char*>(destination), count,
        [pipe](unsigned char* at, std::uint32_t chunk) { return platform::readSome(pipe, at, chunk); },
        "Pipe closed while reading message", error);
}

bool writeExact(platform::NativeHandle pipe, const void* source, std::uint64_t count, std::string& error) {
    return moveExact(
        static_cast<const unsigned char*>(source), count,
        [pipe](const unsigned char* at, std::uint32_t chunk) { return platform::writeSome(pipe, at, chunk); },
        "Pipe closed while writing message", error);
}

bool readMessage(platform::NativeHandle pipe, std::string& result, std::string& error,
                 const std::function<bool()>& admitLarge) {
    // Read into a string of its own: on failure the caller's stays as it was.
    std::string message;
    // The first read takes the header and as much of the body as has
    // arrived with it: one system call for a small request.
    message.resize(kFirstRead);
    std::size_t have = 0;
    while (have < 4) {
        const platform::IoCall got = platform::readSome(pipe, message.data() + have, kFirstRead - have);
        if (!got.ok) {
            error = platform::failureText(got.error);
            return false;
        }
        if (got.count == 0) {
            error = "Pipe closed while reading message";
            return false;
        }
        have += got.count;
    }
    const auto byte = [&](std::size_t at) { return std::uint64_t{static_cast<unsigned char>(message[at])}; };
    const std::uint64_t length = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
    if (length > kMaxPipeMessageSize) {
        // The body stays unread; the caller ends the connection.
        error = "Pipe message is too large";
        return false;
    }
    // Bytes past this frame are never read by anyone: one frame per connection.
    have = std::min<std::size_t>(have - 4, length);
    message.erase(0, 4);
    message.resize(have);
    // The rest of the body's memory follows the bytes that arrive: from
    // 64 KiB, doubling, so a client that announces 16 MiB and sends nothing
    // costs 64 KiB, not 16 MiB.
    if (length > kFirstBodyChunk && admitLarge && !admitLarge()) {
        error = "Too many large requests at once";
        return false;
    }
    while (have < length) {
        const std::size_t next = std::min<std::size_t>(length, std::max(kFirstBodyChunk, 2 * have));
        message.resize(next);
        if (!readExact(pipe, message.data() + have, next - have, error)) return false;
        have = next;
    }
    result.swap(message);
    return true;
}

bool writeMessage(platform::NativeHandle pipe, const char* message, std::uint64_t size, std::string& error) {
    if (size > kMaxPipeMessageSize) {
        error = "Pipe message is too large";
        return false;
    }
    const auto length = static_cast<std::uint32_t>(size);
    const char header[4] = {static_cast<char>(length), static_cast<char>(length >> 8), static_cast<char>(length >> 16),
                            static_cast<char>(length >> 24)};
    if (size <= kFirstBodyChunk) {
        // Header and body in one system call; only a large body is spared the copy.
        std::string frame(header, sizeof header);
        frame.append(message, static_cast<std::size_t>(size));
        return writeExact(pipe, frame.data(), frame.size(), error);
    }
    return writeExact(pipe, header, sizeof header, error) && writeExact(pipe, message, size, error);
}

}  // namespace velmora::vpn
