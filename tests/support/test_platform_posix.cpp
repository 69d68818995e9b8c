#include <unistd.h>

#include <csignal>
#include <fstream>

#include "support/sibling_start.h"

namespace velmora::vpn::testing {

namespace bp = boost::process;

bp::child startSibling(const NativeText& program, const std::vector<NativeText>& arguments, bool standardHandles,
                       const NativeText& output, const NativeText& errors) {
    if (!standardHandles) {
        return bp::child(bp::exe = program, bp::args = arguments, bp::std_in.close(), bp::std_out.close(),
                         bp::std_err.close());
    }
    return bp::child(bp::exe = program, bp::args = arguments, bp::std_in<bp::null, bp::std_out> output,
                     bp::std_err > errors);
}

void interrupt(bp::child& child) { ::kill(child.id(), SIGINT); }

bool canRunAsAnotherUser() { return geteuid() == 0; }

std::vector<std::string> asAnotherUser(const std::string& folder, std::uint32_t uid, std::uint32_t group) {
    if (!canRunAsAnotherUser() || chown(folder.c_str(), uid, uid) != 0) return {};
    const std::string id = std::to_string(uid);
    return {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id,
            group != 0 ? "--groups=" + std::to_string(group) : "--clear-groups"};
}

std::string ordinaryUser(std::uint32_t n) { return "uid " + std::to_string(n); }

std::uint32_t observedExitCode(std::uint32_t code) { return code & 0xFFu; }

std::string programFileName(const std::string& name) { return name; }

ResourceCounts processResources() {
    ResourceCounts counts;
    using Entries = std::filesystem::directory_iterator;
    counts.handles = static_cast<std::size_t>(std::distance(Entries("/proc/self/fd"), Entries())) - 1;  // less its own
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        if (key == "Threads:") status >> counts.threads;
        if (key == "VmRSS:") status >> counts.residentBytes;  // in KiB
    }
    counts.residentBytes *= 1024;
    return counts;
}

}  // namespace velmora::vpn::testing
