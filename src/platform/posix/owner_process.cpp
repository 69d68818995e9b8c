#include "platform/owner_process.h"

#include <cerrno>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

bool isOwnerGone(std::uint32_t ownerProcessId) {
    // Ids that do not fit a pid_t, and 0, name no single process: treat them
    // like an id nobody has.
    const auto pid = static_cast<pid_t>(ownerProcessId);
    if (pid <= 0) return true;
    // A process that has ended is gone even while its parent has not reaped
    // it yet: its pidfd reads as ready (kill() could not tell such a zombie
    // from a live process). Without a pidfd for another reason (no
    // descriptor free) the owner counts as present until the next look.
    const platform::OwnedHandle pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd) return errno == ESRCH;
    pollfd ended{.fd = pidfd.get(), .events = POLLIN, .revents = {}};
    return ::poll(&ended, 1, 0) > 0;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace velmora::vpn::platform
