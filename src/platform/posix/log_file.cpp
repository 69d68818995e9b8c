#include "platform/log_file.h"

#include <cerrno>
#include <unistd.h>

#include "platform/std_redirect.h"

namespace velmora::vpn::platform {

LogFile::LogFile(const std::wstring& path) : handle_(path.empty() ? -1 : openLogFileForAppend(path)) {}

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

}  // namespace velmora::vpn::platform
