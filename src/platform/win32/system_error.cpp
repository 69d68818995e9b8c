#include "platform/system_error.h"

#include <windows.h>

#include "platform/text.h"
#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

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
