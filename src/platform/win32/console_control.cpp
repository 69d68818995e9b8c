#include "platform/console_control.h"

#include <windows.h>

namespace velmora::vpn::platform {
namespace {

std::atomic<bool>* consoleStopFlag = nullptr;

BOOL WINAPI consoleControlHandler(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            consoleStopFlag->exchange(true);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void installConsoleStopHandler(std::atomic<bool>& stopFlag) {
    consoleStopFlag = &stopFlag;
    SetConsoleCtrlHandler(consoleControlHandler, TRUE);
}

}  // namespace velmora::vpn::platform
