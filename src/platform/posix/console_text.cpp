#include "platform/console_text.h"

#include <cstdio>
#include <unistd.h>

#include "platform/pipe_io.h"
#include "platform/text.h"

namespace velmora::vpn::platform {

void writeLine(StandardStream stream, const std::wstring& text) {
    // Whatever the streams hold goes first, so lines keep their order. The
    // C++ streams write through C's (they stay synchronised), so one flush of
    // every C stream covers both.
    std::fflush(nullptr);
    const std::string line = toUtf8(text) + "\n";
    const int descriptor = stream == StandardStream::output ? 1 : 2;
    moveAll(line.data(), line.size(), [descriptor](const char* at, std::uint32_t count) {
        return writeFileSome(descriptor, at, count);
    });  // a console that takes nothing loses the line: nowhere is left to say so
}

}  // namespace velmora::vpn::platform
