#pragma once

#include <cstdint>
#include <string>

// Failure texts built from the system's error codes, shared by every layer
// that reports a failed system call in words.
namespace velmora::vpn {

// The error code in decimal, then ": " and the system's text for it when
// there is one, exactly as the system gives it.
std::string windowsErrorText(std::uint32_t code);
// "<operation> failed. Windows error <windowsErrorText(code)>" (on POSIX the
// label is the platform's own word for its error codes).
std::string apiFailureText(const std::string& operation, std::uint32_t code);

}  // namespace velmora::vpn
