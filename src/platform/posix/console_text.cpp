#include "platform/console_text.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

#include "platform/text.h"

namespace velmora::vpn::platform {

void writeLine(StandardStream stream, const std::wstring& text) {
    // Whatever the streams hold goes first, so lines keep their order.
    std::cout.flush();
    std::fflush(nullptr);
    const std::string line = toUtf8(text) + "\n";
    const int descriptor = stream == StandardStream::output ? 1 : 2;
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = write(descriptor, line.data() + done, line.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace velmora::vpn::platform
