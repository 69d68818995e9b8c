#include "platform/std_redirect.h"

#include "platform/text.h"
#include "platform/win32/admin_only_security.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include <windows.h>

namespace velmora::vpn::platform {
namespace {

// Points the C stream at the file the handle writes to. The stream is first
// reopened (on NUL) so that it has a descriptor of its own, which then takes
// a duplicate of the handle: writes through the file's append-only handle
// land at its end whoever else writes to it. A runtime may refuse to reopen
// a stream that it started without a descriptor (Wine's does; Windows' own
// runtimes reopen it); the stream is then left as it was.
bool pointStreamAt(FILE* stream, OwnedHandle forRuntime) {
    std::fflush(stream);
    if (_wfreopen(L"NUL", L"w", stream) == nullptr) return false;
    const int wrapped = _open_osfhandle(reinterpret_cast<intptr_t>(forRuntime.get()), _O_TEXT | _O_APPEND);
    if (wrapped == -1) return false;
    forRuntime.release();  // the descriptor owns it now
    const bool moved = _dup2(wrapped, _fileno(stream)) == 0;
    _close(wrapped);
    setvbuf(stream, nullptr, _IONBF, 0);
    return moved;
}

// One standard stream: the handle installed as the process's standard
// handle is kept; a second handle is given to the C runtime, under the
// descriptor the C stream writes to.
void redirectOne(StdHandleRedirect& redirect, const std::wstring& path, FILE* stream, DWORD which) {
    OwnedHandle installed = openLogFileForAppend(path);
    if (!installed) {
        redirect.runtimeStreamsFollow = false;
        return;
    }
    OwnedHandle forRuntime = openLogFileForAppend(path);
    if (!forRuntime || !pointStreamAt(stream, std::move(forRuntime))) redirect.runtimeStreamsFollow = false;
    // The runtime points the process's standard handle at whatever it puts
    // on descriptor 1 or 2, so the kept handle is installed after it: it is
    // the one the system sees.
    SetStdHandle(which, installed.get());
    redirect.keptHandles.push_back(std::move(installed));
}

}  // namespace

// The service writes here as LocalSystem: the folder is made with an access
// list of the system's and administrators' alone when it is missing, and
// must be such when it is there; a reparse point at the name is never
// followed, and a file someone else may write is never used.
OwnedHandle openLogFileForAppend(const std::wstring& path, SystemError* why) {
    SystemError ignored;
    SystemError& error = why != nullptr ? *why : ignored;
    if (path.empty()) return {};
    const std::string shown = toUtf8(path);
    const std::size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
    if (!systemFolder(folder, kSystemOnlySddl, error)) return {};
    OwnedHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA | READ_CONTROL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        error = {"CreateFileW", GetLastError(), " (" + shown + ")"};
        return {};
    }
    if (!systemOwnedObject(file.get(), false, shown, error)) return {};
    return file;
}

std::unique_ptr<StdHandleRedirect> redirectStdHandles(const std::wstring& logFile) {
    auto redirect = std::make_unique<StdHandleRedirect>();
    redirectOne(*redirect, logFile, stdout, STD_OUTPUT_HANDLE);
    redirectOne(*redirect, logFile, stderr, STD_ERROR_HANDLE);
    return redirect;
}

}  // namespace velmora::vpn::platform
