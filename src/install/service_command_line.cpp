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

ServiceStartup serviceStartupFor(const std::wstring& startupMode) {
    if (startupMode == L"demand" || startupMode == L"manual") return {3, std::nullopt};
    if (startupMode == L"disabled") return {4, std::nullopt};
    return {2, startupMode == L"delayed-auto"};
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
