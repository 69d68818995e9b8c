#include "platform/pipe_endpoint.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/handles.h"
#include "platform/posix/socket_path.h"
#include "platform/error_text.h"

namespace velmora::vpn::platform {
namespace {

// How long closing a connection waits for the client to finish reading.
constexpr int kDrainMilliseconds = 1000;

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket file left by a run that crashed is replaced only when nothing
// answers on it; a live server's socket, or a file that is no socket, stays.
void removeStaleSocket(const std::string& path, const sockaddr_un& address) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return;
    FileDescriptor probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return;
    if (connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno == ECONNREFUSED) {
        unlink(path.c_str());
    }
}

}  // namespace

struct PipeListener::State {
    std::string path;         // empty when the name maps to no socket path
    FileDescriptor listener;  // the listening socket, if any
};

PipeListener::PipeListener(const std::wstring& pipeName) : state_(std::make_unique<State>()) {
    state_->path = socketPathForPipeName(pipeName);
}

PipeListener::~PipeListener() { closeInstance(); }

bool PipeListener::createInstance(std::string& error) {
    if (state_->listener) return true;
    sockaddr_un address{};
    if (!fillAddress(state_->path, address)) {
        error = apiFailureText("bind", state_->path.empty() ? EINVAL : ENAMETOOLONG);
        return false;
    }
    FileDescriptor listener(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener) {
        error = apiFailureText("socket", static_cast<std::uint32_t>(errno));
        return false;
    }
    removeStaleSocket(state_->path, address);
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = apiFailureText("bind", static_cast<std::uint32_t>(errno));
        return false;
    }
    // Every local user may connect, as interactive users may on Windows.
    chmod(state_->path.c_str(), 0666);
    if (listen(listener.get(), SOMAXCONN) != 0) {
        const int code = errno;
        unlink(state_->path.c_str());
        error = apiFailureText("listen", static_cast<std::uint32_t>(code));
        return false;
    }
    state_->listener = std::move(listener);
    return true;
}

PollOutcome PipeListener::poll(std::chrono::milliseconds interval, NativeHandle& connection, std::string& error) {
    pollfd waiting{state_->listener.get(), POLLIN, 0};
    const int ready = ::poll(&waiting, 1, static_cast<int>(interval.count()));
    if (ready <= 0) return PollOutcome::waiting;  // timed out, or interrupted by a signal
    const int client = accept4(state_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) {
        connection = client;
        return PollOutcome::connected;
    }
    switch (errno) {
        case EAGAIN:
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            // The client left before it was accepted: keep accepting.
            return PollOutcome::waiting;
        default:
            error = apiFailureText("accept", static_cast<std::uint32_t>(errno));
            return PollOutcome::failed;
    }
}

void PipeListener::closeInstance() {
    if (!state_->listener) return;
    state_->listener.reset();
    unlink(state_->path.c_str());
}

PipeConnection::~PipeConnection() {
    if (FileDescriptorTraits::isValid(handle_)) FileDescriptorTraits::close(handle_);
}

void PipeConnection::makeBlocking() {
    // Accepted sockets do not inherit the listener's non-blocking mode; nothing to do.
}

void PipeConnection::flushAndDisconnect() {
    // End our side, then wait (bounded) for the client to close its side:
    // closing with unread input would reset the connection and could cost the
    // client the response it has not read yet.
    shutdown(handle_, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMilliseconds);
    char discard[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd readable{handle_, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return;
        if (recv(handle_, discard, sizeof discard, 0) <= 0) return;
    }
}

}  // namespace velmora::vpn::platform
