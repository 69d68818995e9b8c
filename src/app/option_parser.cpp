#include "app/option_parser.h"

#include "platform/command_line.h"

namespace velmora::vpn {

ServiceOptions parseServiceOptions(const std::vector<std::wstring>& arguments) {
    ServiceOptions options;
    if (arguments.size() < 2) return options;

    // Rules are tried in order and the first that matches wins; a value taken
    // from the following entry is taken verbatim, whatever it is.
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& entry = arguments[i];
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
        } else if (auto startup = platform::optionValue(arguments, i, L"--startup")) {
            options.startupMode = *startup;
        } else if (auto logFile = platform::optionValue(arguments, i, L"--log-file")) {
            options.logFile = *logFile;
        } else if (auto pipeName = platform::optionValue(arguments, i, L"--pipe-name")) {
            options.pipeName = *pipeName;
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
