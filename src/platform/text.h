#pragma once

#include <string>

namespace velmora::vpn::platform {

// Wide text (UTF-16 on Windows, UTF-32 elsewhere) to UTF-8; empty when the
// text cannot be converted.
std::string toUtf8(const std::wstring& text);
// UTF-8 to wide text; invalid sequences become U+FFFD.
std::wstring fromUtf8(const std::string& text);

}  // namespace velmora::vpn::platform
