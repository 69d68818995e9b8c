// Redirects its standard output and error into the file named by its only
// argument, as the service does in service mode, then writes one line through
// each way a program (or an engine library inside it) may write: the
// operating system's standard handles, the C streams and the C++ streams.
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/std_redirect.h"
#include "platform/text.h"

#if defined(_WIN32)
#include <windows.h>
static void writeHandle(DWORD which, const std::string& text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
static void writeOsOutput(const std::string& text) { writeHandle(STD_OUTPUT_HANDLE, text); }
static void writeOsError(const std::string& text) { writeHandle(STD_ERROR_HANDLE, text); }
#else
#include <unistd.h>
static void writeOsOutput(const std::string& text) { (void)!write(1, text.data(), text.size()); }
static void writeOsError(const std::string& text) { (void)!write(2, text.data(), text.size()); }
#endif

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    auto redirect = velmora::vpn::redirectStdHandles(velmora::vpn::fromUtf8(argv[1]));
    writeOsOutput("os stdout\n");
    writeOsError("os stderr\n");
    std::printf("c stdout\n");
    std::fprintf(stderr, "c stderr\n");
    std::cout << "c++ stdout" << std::endl;
    std::cerr << "c++ stderr" << std::endl;
    return 0;
}
