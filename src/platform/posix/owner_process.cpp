#include "platform/owner_process.h"

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace velmora::vpn {

bool isOwnerGone(std::uint32_t ownerProcessId) {
    // Ids that do not fit a pid_t, or that kill() would read as a process
    // group, name no single process: treat them like an id nobody has.
    const auto pid = static_cast<pid_t>(ownerProcessId);
    if (pid <= 0) return true;
    // EPERM means the process exists but belongs to someone else.
    return kill(pid, 0) != 0 && errno == ESRCH;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace velmora::vpn
