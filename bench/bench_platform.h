#pragma once

#include <chrono>
#include <cstddef>

namespace velmora::bench {

// CPU time this process has used so far, user and kernel together.
std::chrono::microseconds processCpuTime();

// Resident memory of this process, in bytes.
std::size_t processResidentBytes();

}  // namespace velmora::bench
