#pragma once

#include <chrono>

namespace velmora::bench {

// CPU time this process has used so far, user and kernel together.
std::chrono::microseconds processCpuTime();

}  // namespace velmora::bench
