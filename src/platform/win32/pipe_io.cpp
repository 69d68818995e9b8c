#include "platform/pipe_io.h"

#include <windows.h>

#include "platform/text.h"

#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

IoCall readSome(NativeHandle pipe, void* destination, std::uint32_t count) {
    DWORD read = 0;
    if (!ReadFile(pipe, destination, count, &read, nullptr)) return {false, 0, GetLastError()};
    return {true, read, 0};
}

IoCall writeSome(NativeHandle pipe, const void* source, std::uint32_t count) {
    DWORD written = 0;
    if (!WriteFile(pipe, source, count, &written, nullptr)) return {false, 0, GetLastError()};
    return {true, written, 0};
}

IoCall writeFileSome(NativeHandle file, const void* source, std::uint32_t count) {
    return writeSome(file, source, count);
}

const char* readCallName() { return "ReadFile"; }
const char* writeCallName() { return "WriteFile"; }

// In the system's language, as UTF-8: the wide text is converted once, so
// that no letter is lost to the ANSI code page on the way.
std::string systemErrorMessage(std::uint32_t code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const LocalMemory owner(text);
    if (length == 0 || text == nullptr) return {};
    return toUtf8(std::wstring(text, length));
}

const char* systemErrorLabel() { return "Windows error"; }

}  // namespace velmora::vpn::platform
