#include "runtime/service_host.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <windows.h>

#include "protocol/constants.h"
#include "runtime/runtime.h"

namespace velmora::vpn {
namespace {

// Stop, shutdown and preshutdown all start the orderly stop. Preshutdown
// comes while the system still waits for services (10 s by default since
// Windows 10 1703), so the stop runs before the system goes on; shutdown,
// which follows it, gives a service only a few seconds.
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
// While stopping, the checkpoint advances this often, and each report
// promises the next within the hint, so the manager can tell progress from
// a hang however long the stop takes.
constexpr std::chrono::milliseconds kStopProgressInterval{500};
constexpr DWORD kStopWaitHintMs = 2000;

SERVICE_STATUS_HANDLE serviceStatusHandle = nullptr;
SERVICE_STATUS serviceStatus{};
// Reports come from the dispatcher's thread (the first stop-pending), the
// service thread and the stop progress thread; the lock keeps two reports
// from mixing their fields.
std::mutex serviceStatusMutex;  // guards serviceStatus and its sending

void report(DWORD state, DWORD controlsAccepted, DWORD exitCode, DWORD waitHint) {
    std::lock_guard lock(serviceStatusMutex);
    serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    serviceStatus.dwCurrentState = state;
    serviceStatus.dwControlsAccepted = controlsAccepted;
    serviceStatus.dwWin32ExitCode = exitCode;
    serviceStatus.dwWaitHint = waitHint;
    // Pending states count their checkpoints from 1; settled ones carry 0.
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    serviceStatus.dwCheckPoint = pending ? serviceStatus.dwCheckPoint + 1 : 0;
    SetServiceStatus(serviceStatusHandle, &serviceStatus);
}

// The state of the stop as the progress thread sees it.
std::mutex stopProgressMutex;  // guards stopping and stopDone
std::condition_variable stopProgressChanged;
bool stopping = false;  // a stop control came
bool stopDone = false;  // the runtime has returned

// Reports stop-pending with a fresh checkpoint every interval from the first
// stop control until the runtime has returned.
void reportStopProgress() {
    std::unique_lock lock(stopProgressMutex);
    stopProgressChanged.wait(lock, [] { return stopping || stopDone; });
    while (!stopProgressChanged.wait_for(lock, kStopProgressInterval, [] { return stopDone; })) {
        lock.unlock();
        report(SERVICE_STOP_PENDING, 0, NO_ERROR, kStopWaitHintMs);
        lock.lock();
    }
}

void setStopProgress(bool& flag) {
    {
        std::lock_guard lock(stopProgressMutex);
        flag = true;
    }
    stopProgressChanged.notify_all();
}

DWORD WINAPI serviceControlHandler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN ||
        control == SERVICE_CONTROL_PRESHUTDOWN) {
        if (serviceStatusHandle != nullptr) report(SERVICE_STOP_PENDING, 0, NO_ERROR, kStopWaitHintMs);
        stopRequested.exchange(true);
        setStopProgress(stopping);
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
    std::uint32_t result = 0;
    {
        // Without the thread the stop is reported once, as a stop that ends soon.
        std::jthread progress;
        try {
            progress = std::jthread(reportStopProgress);
        } catch (const std::system_error&) {
        }
        // The manager sees the service running while the runtime is still
        // building its logger, backend and pipe server.
        report(SERVICE_RUNNING, kControlsAccepted, NO_ERROR, 0);
        result = runServer(false);
        setStopProgress(stopDone);
    }
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
