#include "bench_platform.h"

#include <windows.h>
#include <psapi.h>

namespace velmora::bench {

std::chrono::microseconds processCpuTime() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return std::chrono::microseconds((ticks(kernel) + ticks(user)) / 10);
}

std::size_t processResidentBytes() {
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    return memory.WorkingSetSize;
}

std::string ordinaryUserName() { return "S-1-5-21-1000-1000-1000-65534"; }

std::vector<std::string> asOrdinaryUser(const std::string&) { return {}; }

}  // namespace velmora::bench
