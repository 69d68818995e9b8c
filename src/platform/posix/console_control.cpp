#include "platform/console_control.h"

#include <csignal>

namespace velmora::vpn::platform {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is raised from a signal handler");

std::atomic<bool>* consoleStopFlag = nullptr;

extern "C" void consoleSignalHandler(int) { consoleStopFlag->exchange(true); }

}  // namespace

void installConsoleStopHandler(std::atomic<bool>& stopFlag) {
    consoleStopFlag = &stopFlag;
    struct sigaction action {};  // value-initialised: no flags, an empty mask
    action.sa_handler = consoleSignalHandler;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    // A console or log reader that went away must cost a failed write, not
    // the whole run: no write of this process ever raises SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace velmora::vpn::platform
