#pragma once

#include <atomic>

namespace velmora::vpn::platform {

// Lets an interrupt stop a console run: Ctrl+C, Ctrl+Break, closing the
// console, log-off and shutdown on Windows; SIGINT, SIGTERM and SIGHUP
// elsewhere. Each only raises `stopFlag`; the run winds down on its own
// thread. The handler stays installed until the process ends.
void installConsoleStopHandler(std::atomic<bool>& stopFlag);

}  // namespace velmora::vpn::platform
