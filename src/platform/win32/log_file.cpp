#include "platform/log_file.h"

#include <windows.h>

#include "platform/std_redirect.h"

namespace velmora::vpn::platform {

LogFile::LogFile(const std::wstring& path)
    : handle_(path.empty() ? INVALID_HANDLE_VALUE : openLogFileForAppend(path)) {}

LogFile::~LogFile() {
    if (isOpen()) CloseHandle(handle_);
}

bool LogFile::isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

bool LogFile::append(const std::string& text) {
    // Text mode, as the C runtime writes it: every newline becomes CR LF.
    std::string translated;
    translated.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '\n') translated += '\r';
        translated += c;
    }
    DWORD written = 0;
    return WriteFile(handle_, translated.data(), static_cast<DWORD>(translated.size()), &written, nullptr) &&
           written == translated.size();
}

}  // namespace velmora::vpn::platform
