#include "platform/log_file.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/std_redirect.h"
#include "platform/text.h"

namespace velmora::vpn::platform {

LogFile::LogFile(const std::wstring& path) : path_(path) {
    if (!path.empty()) handle_ = openLogFileForAppend(path, &failure_);
}

bool LogFile::isOpen() const { return handle_.valid(); }

// A file never asked for has no failure recorded, and so no problem either.
std::string LogFile::problem() const { return isOpen() ? std::string() : failureText(failure_); }

void LogFile::restart() {
    if (isOpen()) static_cast<void>(ftruncate(handle_.get(), 0));
}

bool LogFile::append(const std::string& text) {
    const NativeHandle file = handle_.get();
    return moveAll(text.data(), text.size(),
                   [file](const char* at, std::uint32_t count) { return writeFileSome(file, at, count); })
        .done;
}

std::uint64_t LogFile::size() const {
    struct stat info {};
    return fstat(handle_.get(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// rename never follows a link at either name, and the new file is opened as
// the first one was.
bool LogFile::rotate(SystemError& error) {
    const std::string name = toUtf8(path_);
    if (rename(name.c_str(), (name + ".1").c_str()) != 0) {
        error = {"rename", static_cast<std::uint32_t>(errno), " (" + name + ".1)"};
        return false;
    }
    handle_ = openLogFileForAppend(path_, &failure_);
    return true;
}

}  // namespace velmora::vpn::platform
