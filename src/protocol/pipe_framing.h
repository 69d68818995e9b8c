#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/error_text.h"
#include "platform/pipe_io.h"

// Frames on the service's pipe: a 4-byte little-endian body length, then the
// body. The operations report failure as false plus a text (the caller's
// error string is left alone on success); they never log, retry or close.
namespace velmora::vpn {

// The largest body either side may send: 16 MiB.
inline constexpr std::uint64_t kMaxPipeMessageSize = 16777216;

// Reads exactly `count` bytes; short reads simply lead to the next read.
bool readExact(platform::NativeHandle pipe, void* destination, std::uint64_t count, std::string& error);
// Writes exactly `count` bytes.
bool writeExact(platform::NativeHandle pipe, const void* source, std::uint64_t count, std::string& error);
// Reads one frame into `message`, replacing its content: the header and the
// start of the body in one read, then the rest straight into the string,
// which grows (doubling from 64 KiB) only as the body's bytes arrive. Bytes
// after the frame may be consumed and are dropped. A body longer than its
// first 64 KiB grows only once `admitLarge` (when given) has agreed; when it
// refuses, the read fails with "Too many large requests at once".
bool readMessage(platform::NativeHandle pipe, std::string& message, std::string& error,
                 const std::function<bool()>& admitLarge = {});
// Writes one frame: header and body in one write up to 64 KiB of body, in
// two beyond.
bool writeMessage(platform::NativeHandle pipe, const char* message, std::uint64_t size, std::string& error);

}  // namespace velmora::vpn
