#include "platform/std_redirect.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include <windows.h>

namespace velmora::vpn {
namespace {

// One standard stream: the handle installed as the process's standard
// handle is kept; a second handle becomes the C runtime's descriptor.
void redirectOne(StdHandleRedirect& redirect, const std::wstring& path, FILE* stream, DWORD which) {
    HANDLE installed = openLogFileForAppend(path);
    if (installed == INVALID_HANDLE_VALUE) return;
    SetStdHandle(which, installed);
    redirect.keptHandles.push_back(installed);

    HANDLE forRuntime = openLogFileForAppend(path);
    if (forRuntime == INVALID_HANDLE_VALUE) return;
    const int wrapped = _open_osfhandle(reinterpret_cast<intptr_t>(forRuntime), _O_TEXT | _O_APPEND);
    if (wrapped == -1) {
        CloseHandle(forRuntime);
        return;
    }
    const bool hadDescriptor = _fileno(stream) >= 0;
    const int descriptor = hadDescriptor ? _fileno(stream) : (stream == stdout ? 1 : 2);
    const bool moved = _dup2(wrapped, descriptor) == 0;
    _close(wrapped);
    if (moved && !hadDescriptor) {
        // Started without standard handles, as every service is: the runtime
        // left the stream closed (descriptor -2), and freopen refuses such a
        // stream. The stream is attached to the descriptor it now has.
        stream->_file = descriptor;
        stream->_flag = _IOWRT;
    }
    setvbuf(stream, nullptr, _IONBF, 0);
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
