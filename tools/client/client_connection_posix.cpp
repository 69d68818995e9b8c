#include "client_connection.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/unique_handle.h"
#include "platform/socket_path.h"
#include "protocol/pipe_framing.h"

namespace velmora::client {

using velmora::vpn::apiFailureText;
using velmora::vpn::platform::OwnedHandle;

struct ClientConnection::State {
    OwnedHandle socket;
};

ClientConnection::ClientConnection() : state_(std::make_unique<State>()) {}
ClientConnection::~ClientConnection() = default;

namespace {

// The peer's user, as the kernel recorded it when the server listened.
bool serverTrusted(int socket, ServerTrust trust, std::string& error) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        error = apiFailureText("getsockopt(SO_PEERCRED)", static_cast<std::uint32_t>(errno));
        return false;
    }
    if ((trust.system && peer.uid == 0) || (trust.ownUser && peer.uid == geteuid())) return true;
    error = "The pipe is served by user id " + std::to_string(peer.uid) +
            ", neither root nor this user: refusing to send it anything";
    return false;
}

}  // namespace

bool ClientConnection::connect(const std::wstring& pipeName, std::chrono::milliseconds timeout, std::string& error,
                               ServerTrust trust) {
    std::vector<sockaddr_un> addresses;
    std::string tried;
    for (const std::string& path : velmora::vpn::platform::clientSocketPaths(pipeName)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof address.sun_path) continue;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        addresses.push_back(address);
        tried += (tried.empty() ? "" : ", ") + path;
    }
    if (addresses.empty()) {
        error = "Invalid pipe name";
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int code = 0;
        for (const sockaddr_un& address : addresses) {
            // Non-blocking while it connects: a blocking connect waits, without
            // any time-out, for as long as the service's queue stays full.
            OwnedHandle socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            if (!socket) {
                error = apiFailureText("socket", static_cast<std::uint32_t>(errno));
                return false;
            }
            if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                if (!serverTrusted(socket.get(), trust, error)) return false;
                fcntl(socket.get(), F_SETFL, fcntl(socket.get(), F_GETFL) & ~O_NONBLOCK);
                state_->socket = std::move(socket);
                return true;
            }
            // The first place that exists decides: a later one is only looked at while it does not.
            code = errno;
            if (code != ENOENT) break;
        }
        // No socket yet, or between two listeners, or a full backlog: try again.
        const bool retry = code == ENOENT || code == ECONNREFUSED || code == EAGAIN || code == EINTR;
        if (!retry || std::chrono::steady_clock::now() >= deadline) {
            error = apiFailureText("connect", static_cast<std::uint32_t>(code)) + " (" + tried + ")";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ClientConnection::limitIo(std::chrono::milliseconds timeout) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(state_->socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(state_->socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

velmora::vpn::platform::NativeHandle ClientConnection::handle() const { return state_->socket.get(); }

}  // namespace velmora::client
