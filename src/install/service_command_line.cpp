#include "install/service_installer.h"

#include "platform/executable_path.h"

namespace velmora::vpn {

std::wstring quoteArgument(const std::wstring& text) {
    std::wstring quoted = L"\"";
    for (const wchar_t c : text) {
        if (c == L'"') quoted += L'\\';
        quoted += c;
    }
    quoted += L'"';
    return quoted;
}

std::wstring buildServiceCommandLine(const ServiceOptions& options) {
    const std::optional<std::wstring> path = platform::executablePath();
    if (!path) return {};
    std::wstring line = quoteArgument(*path) + L" --service";
    if (options.logFile) line += L" --log-file " + quoteArgument(*options.logFile);
    if (options.pipeName != ServiceOptions{}.pipeName) line += L" --pipe-name " + quoteArgument(options.pipeName);
    return line;
}

}  // namespace velmora::vpn
