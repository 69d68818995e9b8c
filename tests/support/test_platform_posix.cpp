#include <csignal>
#include <fstream>

#include "support/sibling_start.h"

namespace velmora::vpn::testing {

namespace bp = boost::process;

bp::child startAsAService(const NativeText& program, const std::vector<NativeText>& arguments) {
    return bp::child(bp::exe = program, bp::args = arguments, bp::std_in.close(), bp::std_out.close(),
                     bp::std_err.close());
}

void interrupt(bp::child& child) { ::kill(child.id(), SIGINT); }

std::uint32_t observedExitCode(std::uint32_t code) { return code & 0xFFu; }

std::string programFileName(const std::string& name) { return name; }

void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    if (value) setenv(name.c_str(), value->c_str(), 1);
    if (!value) unsetenv(name.c_str());
}

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
