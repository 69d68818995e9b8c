#include "runtime/runtime.h"

#include <exception>
#include <memory>

#include "backend/singbox_in_process_backend.h"
#include "platform/descriptor_limit.h"
#include "platform/event_log.h"
#include "platform/process_memory.h"
#include "platform/std_redirect.h"
#include "platform/text.h"
#include "protocol/constants.h"
#include "runtime/service_logger.h"
#include "server/singbox_named_pipe_server.h"

namespace velmora::vpn {

// The process-wide records are defined together, in this order, so that
// at exit the redirection goes first (flushing the streams and closing its
// handles), then the logger, then the options.
ServiceOptions processOptions;
std::atomic<bool> stopRequested{false};
std::unique_ptr<ServiceLogger> processLogger;
EventReporter reportServiceEvent = [](std::uint32_t event, platform::EventLevel level,
                                      const std::vector<std::string>& texts) {
    platform::reportEvent(kServiceName, event, level, texts);
};

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

    // Console runs report nothing: their console is where one looks.
    const auto report = [consoleMode](ServiceEvent event, platform::EventLevel level,
                                      const std::vector<std::string>& texts) {
        if (!consoleMode && reportServiceEvent) reportServiceEvent(event, level, texts);
    };
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
            const std::string line = "The trusted group setting is not used: " + platform::failureText(groupError);
            logLine(line);
            report(kEventRefused, platform::EventLevel::warning, {line});
        }
        // Only the first refused data folder of a run is an event; the log has every one.
        auto folderReported = std::make_shared<std::atomic<bool>>(false);
        settings.notice = [report, folderReported](const std::string& line) {
            if (!folderReported->exchange(true)) report(kEventRefused, platform::EventLevel::warning, {line});
        };

        std::unique_ptr<SingBoxBackend> backend = makeBackend();
        // The server is destroyed before the backend, on every path.
        SingBoxNamedPipeServer server(
            processOptions.pipeName, *backend, [](const std::string& line) { logLine(line); }, settings);
        report(kEventStarted, platform::EventLevel::information,
               {VELMORA_VERSION, platform::toUtf8(processOptions.pipeName),
                processOptions.logFile ? platform::toUtf8(*processOptions.logFile) : std::string("none")});
        server.run(stopRequested);
        backend->stopAllInstances();
        logLine("Velmora VPN service runtime stopped");
        report(kEventStopped, platform::EventLevel::information, {"0"});
        return 0;
    } catch (const std::exception& error) {
        logLine(std::string("Fatal error: ") + error.what());
        report(kEventFatal, platform::EventLevel::error, {error.what()});
        report(kEventStopped, platform::EventLevel::warning, {std::to_string(kFatalExitCode)});
        return kFatalExitCode;
    }
}

}  // namespace velmora::vpn
