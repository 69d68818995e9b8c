#include "runtime/runtime.h"

#include <exception>
#include <memory>

#include "backend/singbox_in_process_backend.h"
#include "platform/descriptor_limit.h"
#include "platform/process_memory.h"
#include "platform/std_redirect.h"
#include "platform/text.h"
#include "runtime/service_logger.h"
#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn {

// The process-wide records are defined together, in this order, so that
// at exit the redirection goes first (flushing the streams and closing its
// handles), then the logger, then the options.
ServiceOptions processOptions;
std::atomic<bool> stopRequested{false};
std::unique_ptr<ServiceLogger> processLogger;

namespace {

std::unique_ptr<platform::StdHandleRedirect> stdHandleRedirect;

}  // namespace

std::uint32_t runServer(bool consoleMode) {
    return runServer(consoleMode, [] { return std::make_unique<SingBoxInProcessBackend>(); });
}

std::uint32_t runServer(bool consoleMode, const BackendFactory& makeBackend) {
    platform::returnLargeFreedMemory();
    stdHandleRedirect.reset();
    if (!consoleMode && processOptions.logFile)
        stdHandleRedirect = platform::redirectStdHandles(*processOptions.logFile);

    // The new logger is in place before the old one is destroyed.
    std::unique_ptr<ServiceLogger> previous = std::move(processLogger);
    processLogger = std::make_unique<ServiceLogger>(processOptions.logFile, consoleMode);
    previous.reset();

    try {
        logLine("Velmora VPN service runtime starting");
        logLine("Pipe: " + platform::toUtf8(processOptions.pipeName));
        if (stdHandleRedirect && !stdHandleRedirect->runtimeStreamsFollow) {
            logLine(
                "The C runtime's standard output and error could not all be sent to the log file; the "
                "process's standard handles were");
        }

        PipeServerSettings settings;
        // Every engine socket comes out of the process's descriptors; the
        // server keeps a reserve of them for itself, out of the hard limit.
        if (!platform::raiseDescriptorLimit()) logLine("The descriptor limit could not be raised to its hard limit");
        platform::SystemError groupError;
        settings.policy.trustedGroup = platform::readTrustedGroup(kTrustedGroupSetting, groupError);
        if (settings.policy.trustedGroup) {
            logLine("Members of " + *settings.policy.trustedGroup + " start any configuration");
        } else if (groupError.call != nullptr || !groupError.detail.empty()) {
            logLine("The trusted group setting is not used: " + platform::failureText(groupError));
        }

        std::unique_ptr<SingBoxBackend> backend = makeBackend();
        // The server is destroyed before the backend, on every path.
        SingBoxNamedPipeServer server(
            processOptions.pipeName, *backend, [](const std::string& line) { logLine(line); }, settings);
        server.run(stopRequested);
        backend->stopAllInstances();
        logLine("Velmora VPN service runtime stopped");
        return 0;
    } catch (const std::exception& error) {
        logLine(std::string("Fatal error: ") + error.what());
        return kFatalExitCode;
    }
}

}  // namespace velmora::vpn
