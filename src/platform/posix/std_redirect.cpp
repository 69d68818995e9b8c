#include "platform/std_redirect.h"

#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/system_folder.h"
#include "platform/text.h"

namespace velmora::vpn::platform {
namespace {

// The descriptor is duplicated onto 1 or 2, so the operating-system handle
// and the C stream both write into the file; the opened descriptor is kept.
void redirectOne(StdHandleRedirect& redirect, const std::wstring& path, FILE* stream) {
    OwnedHandle opened = openLogFileForAppend(path);
    if (!opened) {
        redirect.runtimeStreamsFollow = false;
        return;
    }
    std::fflush(stream);
    if (dup2(opened.get(), fileno(stream)) < 0) redirect.runtimeStreamsFollow = false;
    redirect.keptHandles.push_back(std::move(opened));
    setvbuf(stream, nullptr, _IONBF, 0);
}

}  // namespace

// The service writes here as root: a link at the path is never followed
// (it could point at any file of the system, or create one where it points),
// only a regular file is written to (a FIFO could block the service), and
// the file and its folder are such that no other user can plant, replace or
// hold them.
OwnedHandle openLogFileForAppend(const std::wstring& path, SystemError* why) {
    SystemError ignored;
    SystemError& error = why != nullptr ? *why : ignored;
    const std::string narrow = toUtf8(path);
    if (narrow.empty()) return {};
    const std::filesystem::path whole = std::filesystem::absolute(std::filesystem::path(narrow));
    const OwnedHandle folder = openSystemFolder(whole.parent_path().string(), true, error);
    if (!folder) return {};
    OwnedHandle descriptor(openat(folder.get(), whole.filename().c_str(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                                  0644));
    if (!descriptor) {
        error = {"open", static_cast<std::uint32_t>(errno), " (" + narrow + ")"};
        return {};
    }
    struct stat info {};
    if (fstat(descriptor.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        (info.st_uid != 0 && info.st_uid != geteuid()) || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = refusal(narrow + " is not a regular file that only the service's user may write");
        return {};
    }
    fcntl(descriptor.get(), F_SETFL, O_APPEND);  // writes block again, as to any file
    return descriptor;
}

std::unique_ptr<StdHandleRedirect> redirectStdHandles(const std::wstring& logFile) {
    auto redirect = std::make_unique<StdHandleRedirect>();
    redirectOne(*redirect, logFile, stdout);
    redirectOne(*redirect, logFile, stderr);
    return redirect;
}

}  // namespace velmora::vpn::platform
