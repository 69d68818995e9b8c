#pragma once

#include <string>

namespace velmora::vpn::platform {

enum class StandardStream { output, error };

// Writes one line of wide text whole, whatever characters it holds: as wide
// text to a console, and as UTF-8 to a file or a pipe. (The C++ wide streams
// in the "C" locale stop for good at the first character they cannot
// convert.) Nothing is written where the process has no such stream.
void writeLine(StandardStream stream, const std::wstring& text);

}  // namespace velmora::vpn::platform
