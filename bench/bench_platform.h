#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace velmora::bench {

// CPU time this process has used so far, user and kernel together.
std::chrono::microseconds processCpuTime();

// Resident memory of this process, in bytes.
std::size_t processResidentBytes();

// How the system names an ordinary user to the service: "uid 65534" on
// Linux, a SID on Windows.
std::string ordinaryUserName();

}  // namespace velmora::bench
