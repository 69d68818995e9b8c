#include "platform/log_file.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/std_redirect.h"
#include "platform/text.h"

namespace velmora::vpn::platform {

LogFile::LogFile(const std::wstring& path) : path_(path), handle_(path.empty() ? -1 : openLogFileForAppend(path)) {}

LogFile::~LogFile() {
    if (handle_ >= 0) close(handle_);
}

bool LogFile::isOpen() const { return handle_ >= 0; }

bool LogFile::append(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(handle_, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

std::uint64_t LogFile::size() const {
    struct stat info {};
    return isOpen() && fstat(handle_, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// rename never follows a link at either name, and the new file is opened as
// the first one was.
bool LogFile::rotate() {
    const std::string name = toUtf8(path_);
    const bool renamed = rename(name.c_str(), (name + ".1").c_str()) == 0;
    if (!renamed) return false;
    if (isOpen()) close(handle_);
    handle_ = openLogFileForAppend(path_);
    return true;
}

}  // namespace velmora::vpn::platform
