#include "platform/caller_identity.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::vpn::platform {

// The kernel records the peer's credentials when it connects; they cannot
// change afterwards, whatever the peer does with its process or descriptor.
std::optional<CallerIdentity> connectingCaller(NativeHandle connection, SystemError& error) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        error = {"getsockopt(SO_PEERCRED)", static_cast<std::uint32_t>(errno), {}};
        return std::nullopt;
    }
    return CallerIdentity{"uid " + std::to_string(peer.uid), peer.uid == 0 || peer.uid == geteuid()};
}

std::optional<CallerIdentity> requestingCaller(NativeHandle connection, SystemError& error) {
    return connectingCaller(connection, error);
}

}  // namespace velmora::vpn::platform
