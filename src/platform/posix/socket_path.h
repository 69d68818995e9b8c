#pragma once

#include <string>

namespace velmora::vpn::platform {

// Where the socket for a pipe name lives. "\\.\pipe\NAME" becomes
// /run/NAME for root, else $XDG_RUNTIME_DIR/NAME, else /tmp/NAME; a name that
// starts with "/" is the socket's path as given. Any other name has no socket
// path and yields an empty text.
std::string socketPathForPipeName(const std::wstring& pipeName);

}  // namespace velmora::vpn::platform
