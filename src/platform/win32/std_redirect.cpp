#include "platform/std_redirect.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include <windows.h>

namespace velmora::vpn {
namespace {

// Points the C stream at the file the handle writes to. The stream is first
// reopened (on NUL) so that it has a descriptor of its own, which then takes
// a duplicate of the handle: writes through the file's append-only handle
// land at its end whoever else writes to it. A runtime may refuse to reopen
// a stream that it started without a descriptor (Wine's does; Windows' own
// runtimes reopen it); the stream is then left as it was.
bool pointStreamAt(FILE* stream, HANDLE forRuntime) {
    std::fflush(stream);
    if (_wfreopen(L"NUL", L"w", stream) == nullptr) {
        CloseHandle(forRuntime);
        return false;
    }
    const int wrapped = _open_osfhandle(reinterpret_cast<intptr_t>(forRuntime), _O_TEXT | _O_APPEND);
    if (wrapped == -1) {
        CloseHandle(forRuntime);
        return false;
    }
    const bool moved = _dup2(wrapped, _fileno(stream)) == 0;
    _close(wrapped);
    setvbuf(stream, nullptr, _IONBF, 0);
    return moved;
}

// One standard stream: the handle installed as the process's standard
// handle is kept; a second handle is given to the C runtime, under the
// descriptor the C stream writes to.
void redirectOne(StdHandleRedirect& redirect, const std::wstring& path, FILE* stream, DWORD which) {
    HANDLE installed = openLogFileForAppend(path);
    if (installed == INVALID_HANDLE_VALUE) {
        redirect.runtimeStreamsFollow = false;
        return;
    }
    SetStdHandle(which, installed);
    redirect.keptHandles.push_back(installed);

    HANDLE forRuntime = openLogFileForAppend(path);
    if (forRuntime == INVALID_HANDLE_VALUE || !pointStreamAt(stream, forRuntime)) redirect.runtimeStreamsFollow = false;
    // The runtime points the process's standard handle at whatever it puts
    // on descriptor 1 or 2; the kept handle is the one the system sees.
    SetStdHandle(which, installed);
}

}  // namespace

StdHandleRedirect::~StdHandleRedirect() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (platform::NativeHandle handle : keptHandles) {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
}

platform::NativeHandle openLogFileForAppend(const std::wstring& path) {
    const std::wstring copy = path;
    return CreateFileW(copy.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::unique_ptr<StdHandleRedirect> redirectStdHandles(const std::wstring& logFile) {
    auto redirect = std::make_unique<StdHandleRedirect>();
    redirectOne(*redirect, logFile, stdout, STD_OUTPUT_HANDLE);
    redirectOne(*redirect, logFile, stderr, STD_ERROR_HANDLE);
    return redirect;
}

}  // namespace velmora::vpn
