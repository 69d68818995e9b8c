#include "platform/owner_process.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

bool isOwnerGone(std::uint32_t ownerProcessId) {
    // Ids that do not fit a pid_t, or that kill() would read as a process
    // group, name no single process: treat them like an id nobody has.
    const auto pid = static_cast<pid_t>(ownerProcessId);
    if (pid <= 0) return true;
    // A process that has ended is gone even while its parent has not reaped
    // it yet: its pidfd reads as ready. kill() cannot tell a zombie from a
    // live process, so it only serves where pidfds are missing.
    const platform::OwnedHandle pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (pidfd) {
        pollfd ended{pidfd.get(), POLLIN, 0};
        return ::poll(&ended, 1, 0) > 0;
    }
    if (errno == ESRCH) return true;
    // EPERM means the process exists but belongs to someone else.
    return kill(pid, 0) != 0 && errno == ESRCH;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace velmora::vpn::platform
