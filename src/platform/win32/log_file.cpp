#include "platform/log_file.h"

#include <windows.h>

#include "platform/std_redirect.h"
#include "platform/text.h"

namespace velmora::vpn::platform {

LogFile::LogFile(const std::wstring& path) : path_(path) {
    if (!path.empty()) handle_ = openLogFileForAppend(path, &failure_);
}

bool LogFile::isOpen() const { return handle_.valid(); }

// A file never asked for has no failure recorded, and so no problem either.
std::string LogFile::problem() const { return isOpen() ? std::string() : failureText(failure_); }

// The handle appends only: a second one, opened for writing, empties the file.
void LogFile::restart() {
    const OwnedHandle emptying(CreateFileW(path_.c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           TRUNCATE_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool LogFile::append(const std::string& text) {
    // Text mode, as the C runtime writes it: every newline becomes CR LF.
    std::string translated;
    translated.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '\n') translated += '\r';
        translated += c;
    }
    const NativeHandle file = handle_.get();
    return moveAll(translated.data(), translated.size(),
                   [file](const char* at, std::uint32_t count) { return writeFileSome(file, at, count); })
        .done;
}

std::uint64_t LogFile::size() const {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handle_.get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

// Every handle on the log file shares delete access, so the file can be
// renamed while it is open; writers holding it (the redirected standard
// streams) go on writing into the renamed file.
bool LogFile::rotate(SystemError& error) {
    if (!MoveFileExW(path_.c_str(), (path_ + L".1").c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = {"MoveFileExW", GetLastError(), " (" + toUtf8(path_) + ".1)"};
        return false;
    }
    handle_ = openLogFileForAppend(path_, &failure_);
    return true;
}

}  // namespace velmora::vpn::platform
