#include "runtime/service_host.h"

#include <mutex>
#include <string>

#include <windows.h>

#include "protocol/constants.h"
#include "runtime/runtime.h"

namespace velmora::vpn {
namespace {

SERVICE_STATUS_HANDLE serviceStatusHandle = nullptr;
SERVICE_STATUS serviceStatus{};
// The stopping report comes from the dispatcher's thread, the others from the
// service thread; the lock keeps two reports from mixing their fields.
std::mutex serviceStatusMutex;  // guards serviceStatus and its sending

void report(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD waitHint) {
    std::lock_guard lock(serviceStatusMutex);
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwControlsAccepted = controlsAccepted;
    serviceStatus.dwWin32ExitCode = exitCode;
    serviceStatus.dwWaitHint = waitHint;
    SetServiceStatus(serviceStatusHandle, &serviceStatus);
}

DWORD WINAPI serviceControlHandler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        if (serviceStatusHandle != nullptr) report(SERVICE_STOP_PENDING, 0, NO_ERROR, 60000);
        stopRequested.exchange(true);
    }
    return NO_ERROR;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    // Cleared before the handler that raises it exists: a stop control that
    // comes right after the running report still ends the run.
    stopRequested.exchange(false);
    serviceStatusHandle = RegisterServiceCtrlHandlerExW(kServiceName, serviceControlHandler, nullptr);
    if (serviceStatusHandle == nullptr) return;
    report(SERVICE_START_PENDING, 0, NO_ERROR, 3000);
    // The manager sees the service running while the runtime is still
    // building its logger, backend and pipe server.
    report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, NO_ERROR, 0);
    const std::uint32_t result = runServer(false);
    report(SERVICE_STOPPED, 0, result, 0);
}

}  // namespace

bool serviceManagerAvailable() { return true; }

std::uint32_t runServiceDispatcher() {
    // The table wants a modifiable name.
    std::wstring name = kServiceName;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) return 0;
    return GetLastError();
}

}  // namespace velmora::vpn
