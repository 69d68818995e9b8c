#include "platform/executable_path.h"

#include <vector>

#include <windows.h>

namespace velmora::vpn::platform {

// Leaves GetLastError describing the failure when it returns nothing.
std::optional<std::wstring> executablePath() {
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    // A count equal to the buffer's length means the path was cut short.
    while (length == buffer.size()) {
        buffer.assign(buffer.size() * 2, L'\0');
        length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    if (length == 0) return std::nullopt;
    return std::wstring(buffer.data(), length);
}

}  // namespace velmora::vpn::platform
