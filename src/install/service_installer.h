#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "options/service_options.h"
#include "protocol/constants.h"

namespace velmora::vpn {

inline constexpr wchar_t kServiceDisplayName[] = L"Velmora VPN Service";
inline constexpr wchar_t kServiceDescription[] = L"Runs privileged sing-box VPN operations for VelmoraLine.";

// The exit code of install and uninstall where there is no service manager
// support (ERROR_NOT_SUPPORTED).
inline constexpr std::uint32_t kNotSupportedExitCode = 50;

// How long installing and uninstalling wait for the service manager, and
// how often they look: for a running service to stop, and for an earlier
// registration to disappear after its deletion.
inline constexpr std::uint32_t kStopWaitMs = 60000;
inline constexpr std::uint32_t kStopPollMs = 200;
inline constexpr std::uint32_t kDeletionWaitMs = 30000;
inline constexpr std::uint32_t kDeletionPollMs = 250;

// What the service manager does when the service fails: when its process
// dies (an engine fault takes it down) or, with the flag, when it stops with
// a non-zero exit code (a fatal error). It restarts the service after each
// delay in turn, the last one again for every failure after, and forgets the
// count after a day without a failure: a crash is mended within seconds, and
// a fault that persists costs a start a minute rather than a loop.
inline constexpr std::uint32_t kRecoveryRestartDelaysMs[] = {2000, 10000, 60000};
inline constexpr std::uint32_t kRecoveryResetSeconds = 24 * 60 * 60;
inline constexpr bool kRecoveryAfterNonZeroExit = true;

// How long the system waits at shutdown for the service's orderly stop
// (preshutdown). The worst stop: the owner watcher's last scan (1 s), the
// wait for client threads, bounded at 60 s (answers get no deadline past
// 10 s from the stop, but an engine start under way may take 15 s more), then
// the engine's stop of every instance and the last lines (10 s allowed), and
// a margin of 4 s: 75 s. docs/operations.md ("Shutdown") has the arithmetic.
inline constexpr std::uint32_t kPreshutdownTimeoutMs = 75000;

// What a startup mode registers: the service manager's start type (2
// automatic, 3 on demand, 4 disabled) and the delayed-start flag, which is
// set only for automatic starts (empty: the call is not made). A word it does
// not know is no error: it gives an automatic start without delay.
struct ServiceStartup {
    std::uint32_t startType{};
    std::optional<bool> delayedAutoStart;
};
ServiceStartup serviceStartupFor(const std::wstring& startupMode);

// The text as one double-quoted command-line argument: quotes inside get a
// backslash, nothing else changes (backslashes are not doubled).
std::wstring quoteArgument(const std::wstring& text);

// The command line the service manager starts the service with: this
// executable with --service, and the log file and pipe name when they differ
// from the defaults. Empty when the executable's path cannot be found.
std::wstring buildServiceCommandLine(const ServiceOptions& options);

// Registers this executable as the service, replacing an earlier
// registration, and starts it when asked. Prints its progress; returns 0 or
// the failing call's system error code.
std::uint32_t install(const ServiceOptions& options);

// Stops and removes the service. Returns 0 when it was removed or was not
// installed, otherwise the failing call's system error code.
std::uint32_t uninstall();

}  // namespace velmora::vpn
