#include "install/service_installer.h"

#include <iterator>
#include <vector>

#include <windows.h>
#include <winsvc.h>

#include "platform/console_text.h"
#include "platform/unique_handle.h"
#include "platform/error_text.h"
#include "platform/executable_path.h"
#include "platform/text.h"

namespace velmora::vpn {
namespace {

using platform::ServiceHandle;

constexpr DWORD kManagerInstallRights = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
constexpr DWORD kOldServiceRights = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
constexpr DWORD kNewServiceRights = SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START;

// One whole line on standard output or error, whatever characters it holds;
// the error text comes as UTF-8.
void say(platform::StandardStream stream, const std::wstring& text, const std::string& utf8Tail = {}) {
    platform::writeLine(stream, text + platform::fromUtf8(utf8Tail));
}

// The Application log's entry for the service as an event source: its texts
// are in the executable's message table. Registering or removing it never
// fails the install or uninstall: events are then shown without their texts.
const std::wstring kEventSourceKey =
    std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + kServiceName;

void registerEventSource() {
    const std::optional<std::wstring> program = platform::executablePath();
    HKEY raw = nullptr;
    if (!program || RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    &raw, nullptr) != ERROR_SUCCESS)
        return;
    const platform::RegistryKey key(raw);
    RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(program->c_str()),
                   static_cast<DWORD>((program->size() + 1) * sizeof(wchar_t)));
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
}

void removeEventSource() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventSourceKey.c_str()); }

bool queryState(SC_HANDLE service, DWORD& state) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
        return false;
    }
    state = status.dwCurrentState;
    return true;
}

// Asks the service to stop and waits up to a minute for it. Never fails: the
// caller goes on in any case.
void waitForServiceStop(SC_HANDLE service) {
    DWORD state = 0;
    if (!queryState(service, state) || state == SERVICE_STOPPED) return;
    SERVICE_STATUS ignored{};
    ControlService(service, SERVICE_CONTROL_STOP, &ignored);
    const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
    while (GetTickCount64() < deadline) {
        if (!queryState(service, state)) break;
        if (state == SERVICE_STOPPED) return;
        Sleep(kStopPollMs);
    }
    say(platform::StandardStream::error, std::wstring(L"Timed out waiting for ") + kServiceName + L" to stop");
}

// Waits for the manager to let go of a deleted service's entry: it does so
// once every handle to the service is closed and its process has ended,
// which may come a moment after the stop was reported. True when it has.
bool waitForDeletion(SC_HANDLE manager) {
    const ULONGLONG deadline = GetTickCount64() + kDeletionWaitMs;
    while (GetTickCount64() < deadline) {
        ServiceHandle probe(OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS));
        if (probe) {
            probe.reset();
            Sleep(kDeletionPollMs);
            continue;
        }
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    }
    return false;
}

// Stops and deletes an earlier registration, then waits for the manager to
// let go of its entry. Prints a warning when the entry stays.
void removePreviousRegistration(SC_HANDLE manager) {
    ServiceHandle old(OpenServiceW(manager, kServiceName, kOldServiceRights));
    if (!old) return;
    waitForServiceStop(old.get());
    DeleteService(old.get());
    old.reset();
    if (!waitForDeletion(manager)) {
        say(platform::StandardStream::error,
            std::wstring(L"Previous ") + kServiceName + L" is still marked for deletion");
    }
}

}  // namespace

std::uint32_t install(const ServiceOptions& options) {
    const std::wstring commandLine = buildServiceCommandLine(options);
    if (commandLine.empty()) {
        const DWORD code = GetLastError();
        say(platform::StandardStream::error, L"Failed to resolve executable path: ", windowsErrorText(code));
        return code;
    }

    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, kManagerInstallRights));
    if (!manager) {
        const DWORD code = GetLastError();
        say(platform::StandardStream::error, L"OpenSCManager failed: ", windowsErrorText(code));
        return code;
    }

    removePreviousRegistration(manager.get());

    const ServiceStartup startup = serviceStartupFor(options.startupMode);
    ServiceHandle service(CreateServiceW(manager.get(), kServiceName, kServiceDisplayName, kNewServiceRights,
                                         SERVICE_WIN32_OWN_PROCESS, startup.startType, SERVICE_ERROR_NORMAL,
                                         commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD code = GetLastError();
        manager.reset();
        say(platform::StandardStream::error, L"CreateService failed: ", windowsErrorText(code));
        return code;
    }

    std::wstring description = kServiceDescription;
    SERVICE_DESCRIPTIONW descriptionInfo{description.data()};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &descriptionInfo);
    if (startup.delayedAutoStart) {
        SERVICE_DELAYED_AUTO_START_INFO delayed{*startup.delayedAutoStart};
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
    }

    // Restart actions need the handle's SERVICE_START right, which it holds.
    SC_ACTION actions[std::size(kRecoveryRestartDelaysMs)];
    for (std::size_t i = 0; i < std::size(actions); ++i) actions[i] = {SC_ACTION_RESTART, kRecoveryRestartDelaysMs[i]};
    SERVICE_FAILURE_ACTIONSW recovery{kRecoveryResetSeconds, nullptr, nullptr, static_cast<DWORD>(std::size(actions)),
                                      actions};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery);
    SERVICE_FAILURE_ACTIONS_FLAG recoveryFlag{kRecoveryAfterNonZeroExit};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &recoveryFlag);
    SERVICE_PRESHUTDOWN_INFO preshutdown{kPreshutdownTimeoutMs};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
    registerEventSource();

    say(platform::StandardStream::output, std::wstring(L"Installed ") + kServiceName);
    say(platform::StandardStream::output, L"Binary path: " + commandLine);
    say(platform::StandardStream::output, L"Startup: " + options.startupMode);

    if (options.startAfterInstall) {
        if (StartServiceW(service.get(), 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
            say(platform::StandardStream::output, std::wstring(L"Started ") + kServiceName);
        } else {
            const DWORD code = GetLastError();
            service.reset();
            manager.reset();
            say(platform::StandardStream::error, L"StartService failed: ", windowsErrorText(code));
            return code;
        }
    }
    return 0;
}

std::uint32_t uninstall() {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        const DWORD code = GetLastError();
        say(platform::StandardStream::error, L"OpenSCManager failed: ", windowsErrorText(code));
        return code;
    }
    ServiceHandle service(OpenServiceW(manager.get(), kServiceName, kOldServiceRights));
    if (!service) {
        const DWORD code = GetLastError();
        manager.reset();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
            removeEventSource();  // what an earlier uninstall may have left
            say(platform::StandardStream::output, std::wstring(kServiceName) + L" is not installed");
            return 0;
        }
        say(platform::StandardStream::error, L"OpenService failed: ", windowsErrorText(code));
        return code;
    }

    waitForServiceStop(service.get());
    if (!DeleteService(service.get())) {
        const DWORD code = GetLastError();
        service.reset();
        manager.reset();
        say(platform::StandardStream::error, L"DeleteService failed: ", windowsErrorText(code));
        return code;
    }
    // Reported once the entry is gone, so that an install right after finds
    // nothing of it; an entry some other program still holds open goes when
    // that program lets go, and is no failure of ours.
    service.reset();
    waitForDeletion(manager.get());
    removeEventSource();
    say(platform::StandardStream::output, std::wstring(L"Uninstalled ") + kServiceName);
    return 0;
}

}  // namespace velmora::vpn
