#pragma once

#include <optional>
#include <string>

namespace velmora::vpn::platform {

// The full path of the running executable, or nothing when the system cannot
// tell it.
std::optional<std::wstring> executablePath();

}  // namespace velmora::vpn::platform
