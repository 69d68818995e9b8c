#include "platform/console_control.h"

#include <csignal>

namespace velmora::vpn {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is raised from a signal handler");

std::atomic<bool>* consoleStopFlag = nullptr;

extern "C" void consoleSignalHandler(int) { consoleStopFlag->exchange(true); }

}  // namespace

void installConsoleStopHandler(std::atomic<bool>& stopFlag) {
    consoleStopFlag = &stopFlag;
    struct sigaction action {};
    action.sa_handler = consoleSignalHandler;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

}  // namespace velmora::vpn
