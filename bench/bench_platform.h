#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace velmora::bench {

// CPU time this process has used so far, user and kernel together.
std::chrono::microseconds processCpuTime();

// Resident memory of this process, in bytes.
std::size_t processResidentBytes();

// How the system names an ordinary user to the service: "uid 65534" on
// Linux, a SID on Windows.
std::string ordinaryUserName();

// The command that runs a program as that ordinary user, after handing it
// `folder` (where the program is copied to, so that the user can reach it);
// empty where this process cannot run another user's programs (not root, or
// Windows), and the program then runs as the benchmark's own user.
std::vector<std::string> asOrdinaryUser(const std::string& folder);

}  // namespace velmora::bench
