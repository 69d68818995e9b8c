#include "client_connection.h"

#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "protocol/constants.h"
#include "protocol/pipe_framing.h"

namespace velmora::client {

using velmora::vpn::apiFailureText;
using velmora::vpn::platform::KernelHandle;
using velmora::vpn::platform::OwnedHandle;
using velmora::vpn::platform::ServiceHandle;

struct ClientConnection::State {
    OwnedHandle pipe;
    // Synchronous pipe I/O has no time-out of its own: a watchdog cancels the
    // waiting thread's I/O once the limit has passed.
    std::thread watchdog;
    std::mutex mutex;              // guards finished
    std::condition_variable done;  // notified when the connection is finished
    bool finished = false;
};

ClientConnection::ClientConnection() : state_(std::make_unique<State>()) {}

ClientConnection::~ClientConnection() {
    {
        std::lock_guard lock(state_->mutex);
        state_->finished = true;
    }
    state_->done.notify_all();
    if (state_->watchdog.joinable()) state_->watchdog.join();
}

namespace {

// The user a token runs as, copied out of the token.
std::vector<BYTE> tokenUser(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
    return buffer;
}

PSID sidOf(std::vector<BYTE>& user) { return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid; }

// The process the service manager runs the installed service in; 0 when it
// does not run. A standard user may ask: a service's default security lets
// interactive users connect to the manager and query a service's status.
DWORD serviceProcessId() {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(manager ? OpenServiceW(manager.get(), velmora::vpn::kServiceName, SERVICE_QUERY_STATUS)
                                        : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                          sizeof status, &needed)) {
        return 0;
    }
    return status.dwProcessId;
}

// Whether a process runs as this client's user. A standard user may open its
// own processes for their token, and no other user's, which then do not count.
bool runsAsThisUser(DWORD processId) {
    const KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    HANDLE serverToken = nullptr;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, &serverToken)) return false;
    const KernelHandle serverTokenHandle(serverToken);
    HANDLE ownToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &ownToken)) return false;
    const KernelHandle ownTokenHandle(ownToken);
    std::vector<BYTE> server = tokenUser(serverToken);
    std::vector<BYTE> own = tokenUser(ownToken);
    return !server.empty() && !own.empty() && EqualSid(sidOf(server), sidOf(own));
}

// Who serves this pipe instance, decided only from what a standard user may
// read: the installed service (the process the service manager names), or a
// process of the client's own user (a console run).
bool serverTrusted(HANDLE pipe, ServerTrust trust, std::string& error) {
    ULONG serverProcessId = 0;
    if (!GetNamedPipeServerProcessId(pipe, &serverProcessId)) {
        error = apiFailureText("GetNamedPipeServerProcessId", GetLastError());
        return false;
    }
    if (trust.system && serverProcessId != 0 && serverProcessId == serviceProcessId()) return true;
    if (trust.ownUser && runsAsThisUser(serverProcessId)) return true;
    error = "The pipe is served by process " + std::to_string(serverProcessId) +
            ", which is neither the VelmoraVpnService service nor a process of this user: refusing to send it "
            "anything";
    return false;
}

}  // namespace

// Another user may add instances of the pipe's name beside the service's
// (write access to a pipe includes creating instances of it): the client
// moves past an instance whose server it does not trust and tries again, so
// such instances slow it but do not stop it while the service listens too.
// Only when the time-out passes does it give up, naming the last server it
// refused.
bool ClientConnection::connect(const std::wstring& pipeName, std::chrono::milliseconds timeout, std::string& error,
                               ServerTrust trust) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string refused;  // why the last instance reached was not trusted
    const auto give = [&](std::string reason) {
        error = refused.empty() ? std::move(reason) : refused;
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
        return false;
    };
    for (;;) {
        // The server may learn who the client is, but never act as the client.
        HANDLE pipe = CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            OwnedHandle opened(pipe);
            if (serverTrusted(opened.get(), trust, refused)) {
                state_->pipe = std::move(opened);
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) return give({});
            continue;  // the untrusted instance goes with `opened`
        }
        const DWORD code = GetLastError();
        // Busy: every instance is taken. Not found: the service is between two
        // instances (or not running yet). Either way, try again until the limit.
        const bool retry = code == ERROR_PIPE_BUSY || code == ERROR_FILE_NOT_FOUND;
        if (!retry || std::chrono::steady_clock::now() >= deadline) return give(apiFailureText("CreateFileW", code));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ClientConnection::limitIo(std::chrono::milliseconds timeout) {
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    state_->watchdog = std::thread([state = state_.get(), thread = KernelHandle(self), timeout]() mutable {
        std::unique_lock lock(state->mutex);
        if (state->done.wait_for(lock, timeout, [state] { return state->finished; })) return;
        // Cancel until the connection is finished: the I/O may not have begun yet.
        while (!state->finished) {
            CancelSynchronousIo(thread.get());
            state->done.wait_for(lock, std::chrono::milliseconds(10));
        }
    });
}

velmora::vpn::platform::NativeHandle ClientConnection::handle() const { return state_->pipe.get(); }

}  // namespace velmora::client
