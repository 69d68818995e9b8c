#include "protocol/pipe_framing.h"

#include "platform/error_text.h"

#include <algorithm>

namespace velmora::vpn {
namespace {

constexpr std::uint64_t kLargestCall = 0xFFFFFFFFu;
constexpr std::size_t kFirstBodyChunk = 64 * 1024;

// Moves exactly `count` bytes with one platform call after another; short
// moves simply lead to the next call. Reading and writing differ only in the
// call, its name in failure texts and the text for a closed pipe.
template <typename Byte, typename Call>
bool moveExact(Byte* position, std::uint64_t count, Call call, const char* callName, const char* closedText,
               std::string& error) {
    while (count > 0) {
        const auto chunk = static_cast<std::uint32_t>(std::min(count, kLargestCall));
        const platform::IoCall moved = call(position, chunk);
        if (!moved.ok) {
            error = apiFailureText(callName, moved.error);
            return false;
        }
        if (moved.count == 0) {
            error = closedText;
            return false;
        }
        position += moved.count;
        count -= moved.count;
    }
    return true;
}

}  // namespace

bool readExact(platform::NativeHandle pipe, void* destination, std::uint64_t count, std::string& error) {
    return moveExact(
        static_cast<unsigned char*>(destination), count,
        [pipe](unsigned char* at, std::uint32_t chunk) { return platform::readSome(pipe, at, chunk); },
        platform::readCallName(), "Pipe closed while reading message", error);
}

bool writeExact(platform::NativeHandle pipe, const void* source, std::uint64_t count, std::string& error) {
    return moveExact(
        static_cast<const unsigned char*>(source), count,
        [pipe](const unsigned char* at, std::uint32_t chunk) { return platform::writeSome(pipe, at, chunk); },
        platform::writeCallName(), "Pipe closed while writing message", error);
}

bool readMessage(platform::NativeHandle pipe, std::string& message, std::string& error) {
    unsigned char header[4] = {0, 0, 0, 0};
    if (!readExact(pipe, header, sizeof header, error)) return false;
    const std::uint64_t length = std::uint64_t{header[0]} | std::uint64_t{header[1]} << 8 |
                                 std::uint64_t{header[2]} << 16 | std::uint64_t{header[3]} << 24;
    if (length > kMaxPipeMessageSize) {
        // The body stays unread; the caller ends the connection.
        error = "Pipe message is too large";
        return false;
    }
    // The body's memory follows the bytes that have arrived: the string
    // starts at 64 KiB and doubles, so a client that announces 16 MiB and
    // sends nothing costs 64 KiB, not 16 MiB.
    message.clear();
    std::size_t have = 0;
    while (have < length) {
        const std::size_t next = std::min<std::size_t>(length, std::max(kFirstBodyChunk, 2 * have));
        message.resize(next);
        if (!readExact(pipe, message.data() + have, next - have, error)) return false;
        have = next;
    }
    return true;
}

bool writeMessage(platform::NativeHandle pipe, const char* message, std::uint64_t size, std::string& error) {
    if (size > kMaxPipeMessageSize) {
        error = "Pipe message is too large";
        return false;
    }
    const auto length = static_cast<std::uint32_t>(size);
    const unsigned char header[4] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                     static_cast<unsigned char>(length >> 16),
                                     static_cast<unsigned char>(length >> 24)};
    if (!writeExact(pipe, header, sizeof header, error)) return false;
    if (size == 0) return true;
    return writeExact(pipe, message, size, error);
}

}  // namespace velmora::vpn
