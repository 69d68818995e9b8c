#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/singbox_backend.h"
#include "platform/event_log.h"

#include "options/service_options.h"

namespace velmora::vpn {

// The exit code of a run that ended in a fatal error (ERROR_SERVICE_SPECIFIC_ERROR).
inline constexpr std::uint32_t kFatalExitCode = 1066;

// The events a service run reports to the Event Log (docs/operations.md),
// one of each kind at most per run: never one per request.
enum ServiceEvent : std::uint32_t { kEventStarted = 1, kEventStopped = 2, kEventFatal = 3, kEventRefused = 4 };
// Where a service run reports them: the system's event log, under the
// service's name. Tests put a recorder in its place.
using EventReporter =
    std::function<void(std::uint32_t event, platform::EventLevel level, const std::vector<std::string>& texts)>;
extern EventReporter reportServiceEvent;

// The options of this process, written once by the entry point.
extern ServiceOptions processOptions;
// Raised to stop the run. Cleared by whoever is about to install the handler
// that raises it (the console run, the service host), never by runServer: a
// stop that arrives after the handler is in place, however early, ends the run.
extern std::atomic<bool> stopRequested;

// Serves until stopRequested is raised (at once if it already is). In console mode log lines also go to
// standard error; in service mode with a log file, standard output and error
// go into that file. Returns 0 after a normal stop, kFatalExitCode after a
// fatal error (logged as "Fatal error: ...").
std::uint32_t runServer(bool consoleMode);

// The same run with the backend `makeBackend` builds (called once, inside the
// run, so that a failure to build it is a fatal error like any other). The
// runtime's own run builds the in-process engine backend.
using BackendFactory = std::function<std::unique_ptr<SingBoxBackend>()>;
std::uint32_t runServer(bool consoleMode, const BackendFactory& makeBackend);

}  // namespace velmora::vpn
