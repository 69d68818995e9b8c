// VelmoraVpnService: the console runner, the service, and its own installer
// and uninstaller, chosen by the command line.
#include <cstdint>
#include <iostream>

#include "app/option_parser.h"
#include "install/service_installer.h"
#include "platform/command_line.h"
#include "platform/console_control.h"
#include "platform/console_text.h"
#include "platform/error_text.h"
#include "platform/text.h"
#include "runtime/service_host.h"
#include "runtime/runtime.h"
#include "protocol/pipe_framing.h"

namespace {

using namespace velmora::vpn;

// A run that an interrupt or a stop signal ends: a console run, or a service
// under a service manager other than Windows' (systemd stops it with
// SIGTERM). The flag is still down: nothing has raised it in this process.
std::uint32_t runUntilSignalled(bool consoleMode) {
    platform::installConsoleStopHandler(stopRequested);
    return runServer(consoleMode);
}

std::uint32_t dispatch() {
    processOptions = parseServiceOptions(platform::commandLineArguments());
    const ServiceOptions& options = processOptions;

    if (options.help) {
        std::cout << usageText() << std::flush;
        return 0;
    }
    if (options.installService) {
        if (options.uninstallService) {
            std::cerr << "Use either --install-service or --uninstall-service, not both." << std::endl;
            return 87;  // ERROR_INVALID_PARAMETER
        }
        return install(options);
    }
    if (options.uninstallService) return uninstall();
    if (options.console) return runUntilSignalled(true);

    if (!serviceManagerAvailable()) return runUntilSignalled(!options.service);

    const std::uint32_t error = runServiceDispatcher();
    if (error == 0) return 0;
    if (options.service) {
        platform::writeLine(platform::StandardStream::error,
                            L"Failed to start service dispatcher: " + platform::fromUtf8(windowsErrorText(error)));
        return error;
    }
    // Started by hand without --service: not an error, just a console run.
    return runUntilSignalled(true);
}

}  // namespace

int main() { return static_cast<int>(dispatch()); }
