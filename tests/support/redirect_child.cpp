// Redirects its standard output and error into the file named by its only
// argument, as the service does in service mode, then writes one line through
// each way a program (or an engine library inside it) may write: the
// operating system's standard handles, the C streams and the C++ streams.
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
    auto redirect = velmora::vpn::platform::redirectStdHandles(velmora::vpn::platform::fromUtf8(argv[1]));
    velmora::vpn::platform::writeLine(StandardStream::output, L"os stdout");  // straight to the handle
    velmora::vpn::platform::writeLine(StandardStream::error, L"os stderr");
    std::printf("c stdout\n");
    std::fprintf(stderr, "c stderr\n");
    std::cout << "c++ stdout" << std::endl;
    std::cerr << "c++ stderr" << std::endl;
    return redirect->runtimeStreamsFollow ? 0 : 3;
}
