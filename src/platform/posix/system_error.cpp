#include "platform/system_error.h"

#include <system_error>

namespace velmora::vpn::platform {

// libstdc++ reads the text through strerror_r: safe on any thread.
std::string systemErrorMessage(std::uint32_t code) { return std::generic_category().message(static_cast<int>(code)); }

const char* systemErrorLabel() { return "error"; }

}  // namespace velmora::vpn::platform
