#include "platform/owner_process.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace velmora::vpn {

bool isOwnerGone(std::uint32_t ownerProcessId) {
    // Ids that do not fit a pid_t, or that kill() would read as a process
    // group, name no single process: treat them like an id nobody has.
    const auto pid = static_cast<pid_t>(ownerProcessId);
    if (pid <= 0) return true;
    // A process that has ended is gone even while its parent has not reaped
    // it yet: its pidfd reads as ready. kill() cannot tell a zombie from a
    // live process, so it only serves where pidfds are missing.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd ended{pidfd, POLLIN, 0};
        const bool gone = ::poll(&ended, 1, 0) > 0;
        close(pidfd);
        return gone;
    }
    if (errno == ESRCH) return true;
    // EPERM means the process exists but belongs to someone else.
    return kill(pid, 0) != 0 && errno == ESRCH;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace velmora::vpn
