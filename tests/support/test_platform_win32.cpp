#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "support/sibling_start.h"

#include <boost/process/cmd.hpp>
#include <boost/process/extend.hpp>

#include "install/service_installer.h"
#include "platform/text.h"
#include "platform/unique_handle.h"

namespace velmora::vpn::testing {

namespace bp = boost::process;

namespace {

// What the service manager gives a service: no standard handles (null, not
// invalid), no console, nothing inherited.
struct AsAService : bp::extend::handler {
    template <typename Executor>
    void on_setup(Executor& executor) const {
        executor.startup_info.dwFlags |= STARTF_USESTDHANDLES;
        executor.startup_info.hStdInput = executor.startup_info.hStdOutput = executor.startup_info.hStdError = nullptr;
        executor.creation_flags |= DETACHED_PROCESS;
        executor.inherit_handles = false;
    }
};

}  // namespace

bp::child startSibling(const NativeText& program, const std::vector<NativeText>& arguments, bool standardHandles,
                       const NativeText& output, const NativeText& errors) {
    // Quoted as CommandLineToArgvW splits it back (the library's own quoting
    // doubles quotes, which that parser reads differently); no test argument
    // puts a backslash before a quote or at its end.
    std::wstring commandLine = quoteArgument(program);
    for (const std::wstring& argument : arguments) commandLine += L" " + quoteArgument(argument);
    if (!standardHandles) return bp::child(bp::cmd = commandLine, AsAService{});
    return bp::child(bp::cmd = commandLine, bp::std_in<bp::null, bp::std_out> output, bp::std_err > errors);
}

// Console interrupts cannot be aimed at one process from here; the console
// stop is exercised under Wine by the interrupt script instead.
void interrupt(bp::child& child) { TerminateProcess(child.native_handle(), 0xC000013A); }

bool canRunAsAnotherUser() { return false; }

std::vector<std::string> asAnotherUser(const std::string&, std::uint32_t, std::uint32_t) { return {}; }

std::string ordinaryUser(std::uint32_t n) { return "S-1-5-21-1000-1000-1000-" + std::to_string(n); }

std::uint32_t observedExitCode(std::uint32_t code) { return code; }

std::string programFileName(const std::string& name) { return name + ".exe"; }

ResourceCounts processResources() {
    ResourceCounts counts;
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    counts.handles = handles;
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    counts.residentBytes = memory.WorkingSetSize;
    const platform::OwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        counts.threads += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    return counts;
}

}  // namespace velmora::vpn::testing
