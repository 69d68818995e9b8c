#include "platform/std_redirect.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "platform/text.h"

namespace velmora::vpn {
namespace {

// The descriptor is duplicated onto 1 or 2, so the operating-system handle
// and the C stream both write into the file; the opened descriptor is kept.
void redirectOne(StdHandleRedirect& redirect, const std::wstring& path, FILE* stream) {
    const int descriptor = fileno(stream);
    const int opened = openLogFileForAppend(path);
    if (opened < 0) return;
    redirect.keptHandles.push_back(opened);
    std::fflush(stream);
    dup2(opened, descriptor);
    setvbuf(stream, nullptr, _IONBF, 0);
}

}  // namespace

StdHandleRedirect::~StdHandleRedirect() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (platform::NativeHandle handle : keptHandles) {
        if (handle >= 0) close(handle);
    }
}

platform::NativeHandle openLogFileForAppend(const std::wstring& path) {
    const std::string narrow = toUtf8(path);
    if (narrow.empty()) return -1;
    return open(narrow.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

std::unique_ptr<StdHandleRedirect> redirectStdHandles(const std::wstring& logFile) {
    auto redirect = std::make_unique<StdHandleRedirect>();
    redirectOne(*redirect, logFile, stdout);
    redirectOne(*redirect, logFile, stderr);
    return redirect;
}

}  // namespace velmora::vpn
