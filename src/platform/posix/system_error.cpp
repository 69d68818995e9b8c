#include "platform/system_error.h"

#include <cstring>

namespace velmora::vpn::platform {

std::string systemErrorMessage(std::uint32_t code) {
    char buffer[256] = {};
    // GNU strerror_r returns the text, which may or may not live in buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string();
}

const char* systemErrorLabel() { return "error"; }

}  // namespace velmora::vpn::platform
