// Writes a line through the C stream and one past it, then redirects its
// standard output and error into the file named by its only argument, as the
// service does in service mode, and writes one line through each way a
// program (or an engine library inside it) may write: the operating system's
// standard handles, the C streams and the C++ streams.
// Exits with 3 when the redirection reports that the C streams stayed put.
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/console_text.h"
#include "platform/std_redirect.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    using velmora::vpn::platform::StandardStream;
    if (argc != 2) return 2;
    std::printf("before\n");  // held in the C stream's buffer: the output is no console
    velmora::vpn::platform::writeLine(StandardStream::output, L"os before");  // goes after it
    auto redirect = velmora::vpn::platform::redirectStdHandles(velmora::vpn::platform::fromUtf8(argv[1]));
    std::printf("c stdout\n");
    velmora::vpn::platform::writeLine(StandardStream::output, L"os stdout");  // straight to the handle
    std::fprintf(stderr, "c stderr\n");
    velmora::vpn::platform::writeLine(StandardStream::error, L"os stderr");
    std::cout << "c++ stdout" << std::endl;
    std::cerr << "c++ stderr" << std::endl;
    return redirect->runtimeStreamsFollow ? 0 : 3;
}
