#include "app/service_options.h"

#include <string_view>

namespace velmora::vpn {
namespace {

bool startsWith(const std::wstring& text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && std::wstring_view(text).substr(0, prefix.size()) == prefix;
}

}  // namespace

ServiceOptions parseServiceOptions(const std::vector<std::wstring>& arguments) {
    ServiceOptions options;
    if (arguments.size() < 2) return options;

    // Rules are tried in order and the first that matches wins; a value taken
    // from the following entry is taken verbatim, whatever it is.
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& entry = arguments[i];
        const bool valueFollows = i + 1 < arguments.size();
        if (entry == L"--console") {
            options.console = true;
        } else if (entry == L"--service") {
            options.service = true;
        } else if (entry == L"--help" || entry == L"-h") {
            options.help = true;
        } else if (entry == L"--install-service") {
            options.installService = true;
        } else if (entry == L"--uninstall-service") {
            options.uninstallService = true;
        } else if (entry == L"--start") {
            options.startAfterInstall = true;
        } else if (entry == L"--startup" && valueFollows) {
            options.startupMode = arguments[++i];
        } else if (startsWith(entry, L"--startup=")) {
            options.startupMode = entry.substr(10);
        } else if (entry == L"--log-file" && valueFollows) {
            options.logFile = arguments[++i];
        } else if (startsWith(entry, L"--log-file=")) {
            options.logFile = entry.substr(11);
        } else if (entry == L"--pipe-name" && valueFollows) {
            options.pipeName = arguments[++i];
        } else if (startsWith(entry, L"--pipe-name=")) {
            options.pipeName = entry.substr(12);
        }
        // Anything else is ignored without a message.
    }
    return options;
}

const std::string& usageText() {
    static const std::string text =
        "VelmoraVpnService\n"
        "\n"
        "Usage:\n"
        "  VelmoraVpnService.exe --console [--log-file <path>] [--pipe-name <name>]\n"
        "  VelmoraVpnService.exe --service [--log-file <path>] [--pipe-name <name>]\n"
        "  VelmoraVpnService.exe --install-service [--startup <mode>] [--start] [--log-file <path>] "
        "[--pipe-name <name>]\n"
        "  VelmoraVpnService.exe --uninstall-service\n"
        "\n"
        "Options:\n"
        "  --console             Run as a foreground debug process.\n"
        "  --service             Run under Windows Service Control Manager.\n"
        "  --install-service     Register this executable as a Windows service.\n"
        "  --uninstall-service   Stop and remove the Windows service.\n"
        "  --startup <mode>      Service startup: delayed-auto, auto, demand, disabled.\n"
        "  --start               Start the service after installing it.\n"
        "  --log-file <path>     Append service logs to this file.\n"
        "  --pipe-name <name>    Override named pipe path.\n"
        "\n"
        "Examples:\n"
        "  VelmoraVpnService.exe --console --log-file D:\\Work\\Dunmere\\velmora-vpn-service.log\n"
        "  VelmoraVpnService.exe --install-service --startup demand --start --log-file "
        "D:\\Work\\Dunmere\\velmora-vpn-service.log\n"
        "  VelmoraVpnService.exe --uninstall-service\n";
    return text;
}

}  // namespace velmora::vpn
