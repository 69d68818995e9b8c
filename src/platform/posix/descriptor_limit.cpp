#include "platform/descriptor_limit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <memory>

namespace velmora::vpn::platform {

bool raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur == limit.rlim_max) return true;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

std::optional<std::size_t> descriptorsLeft() {
    rlimit limit{};
    // Linux caps the descriptor limit (fs.nr_open): it is never infinite.
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::nullopt;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir("/proc/self/fd"), closedir);
    if (!listing) return std::nullopt;
    std::size_t used = 0;
    while (const dirent* entry = readdir(listing.get()))
        if (entry->d_name[0] != '.') ++used;
    --used;  // the listing's own
    return used >= limit.rlim_cur ? 0 : static_cast<std::size_t>(limit.rlim_cur) - used;
}

bool lowPortsNeedPrivilege() { return true; }

}  // namespace velmora::vpn::platform
