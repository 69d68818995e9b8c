#include "platform/console_text.h"

#include <cstdio>
#include <iostream>

#include <windows.h>

#include "platform/text.h"

namespace velmora::vpn::platform {

void writeLine(StandardStream stream, const std::wstring& text) {
    // Whatever the streams hold goes first, so lines keep their order.
    std::cout.flush();
    std::wcout.flush();
    std::fflush(nullptr);
    const HANDLE handle = GetStdHandle(stream == StandardStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode)) {
        const std::wstring line = text + L"\r\n";
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const std::string line = toUtf8(text) + "\r\n";
    WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace velmora::vpn::platform
