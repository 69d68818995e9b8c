#include "platform/pipe_endpoint.h"

#include <thread>

#include <windows.h>
#include <sddl.h>

#include "platform/unique_handle.h"
#include "platform/win32/pipe_parameters.h"

namespace velmora::vpn::platform {
namespace {

// The pipe's security descriptor and the attributes that point at it. When
// the conversion fails the pipe gets the system's default security, and
// `fallback` says why.
struct PipeSecurity {
    LocalMemory descriptor;
    SECURITY_ATTRIBUTES attributes{};
    SystemError fallback;
};

void makePipeSecurity(PipeSecurity& security) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        security.fallback = {"ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError(), {}};
        return;
    }
    security.descriptor.reset(descriptor);
    security.attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    security.attributes.lpSecurityDescriptor = descriptor;
    security.attributes.bInheritHandle = FALSE;
}

}  // namespace

struct PipeListener::State {
    std::wstring pipeName;
    PipeSecurity security;
    OwnedHandle instance;  // the listening instance, if any
    bool created = false;  // the first instance has been created
    bool nameTaken = false;
};

PipeListener::PipeListener(const std::wstring& pipeName) : state_(std::make_unique<State>()) {
    state_->pipeName = pipeName;
    makePipeSecurity(state_->security);
}

PipeListener::~PipeListener() = default;

const SystemError& PipeListener::accessFallback() const { return state_->security.fallback; }

// The first instance claims the name (FILE_FLAG_FIRST_PIPE_INSTANCE): when
// another process holds it already, it is created the usual way beside that
// process's instances, and nameTaken() tells. Wine ignores the flag, so an
// instance of the name is also looked for first: WaitNamedPipeW answers at
// once when one listens, and with ERROR_SEM_TIMEOUT when all are busy.
bool PipeListener::createInstance(SystemError& error) {
    SECURITY_ATTRIBUTES* attributes = state_->security.descriptor ? &state_->security.attributes : nullptr;
    if (!state_->created && (WaitNamedPipeW(state_->pipeName.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT))
        state_->nameTaken = true;
    const auto create = [&](DWORD openMode) {
        return CreateNamedPipeW(state_->pipeName.c_str(), openMode, kPipeMode, PIPE_UNLIMITED_INSTANCES, kBufferSize,
                                kBufferSize, 0, attributes);
    };
    HANDLE instance = create(kOpenMode | (state_->created ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE));
    if (instance == INVALID_HANDLE_VALUE && !state_->created && GetLastError() == ERROR_ACCESS_DENIED) {
        state_->nameTaken = true;
        instance = create(kOpenMode);
    }
    if (instance == INVALID_HANDLE_VALUE) {
        error = {"CreateNamedPipeW", GetLastError(), {}};
        return false;
    }
    state_->instance.reset(instance);
    state_->created = true;
    return true;
}

bool PipeListener::nameTaken() const { return state_->nameTaken; }

PollOutcome PipeListener::poll(std::chrono::milliseconds interval, OwnedHandle& connection, SystemError& error) {
    if (ConnectNamedPipe(state_->instance.get(), nullptr)) {
        connection = std::move(state_->instance);
        return PollOutcome::connected;
    }
    const DWORD code = GetLastError();
    switch (code) {
        case ERROR_PIPE_CONNECTED:
            connection = std::move(state_->instance);
            return PollOutcome::connected;
        case ERROR_NO_DATA:
            // A client connected and left before it was served. The instance
            // reports this until it is disconnected; disconnecting puts it
            // back to listening, so accepting goes on with the same instance.
            DisconnectNamedPipe(state_->instance.get());
            [[fallthrough]];
        case ERROR_PIPE_LISTENING:
            std::this_thread::sleep_for(interval);
            return PollOutcome::waiting;
        default:
            error = {"ConnectNamedPipe", code, {}};
            return PollOutcome::failed;
    }
}

void PipeListener::closeInstance() { state_->instance.reset(); }

std::uint32_t pipeInstanceMode() { return kPipeMode; }

void PipeConnection::makeBlocking() {
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    SetNamedPipeHandleState(handle_.get(), &mode, nullptr, nullptr);
}

void PipeConnection::flushAndDisconnect() {
    FlushFileBuffers(handle_.get());
    DisconnectNamedPipe(handle_.get());
}

void PipeConnection::disconnect() { DisconnectNamedPipe(handle_.get()); }

}  // namespace velmora::vpn::platform
