#pragma once

#include <cstddef>
#include <optional>

// What the process may still open. On Linux every socket, file and pipe of
// the engine's instances and of our connections comes out of one
// per-process limit; Windows handles have no such small limit.
namespace velmora::vpn::platform {

// Raises the process's soft descriptor limit to its hard one (on Windows
// nothing to do). Returns whether the limit is now the hard one.
bool raiseDescriptorLimit();

// Descriptors the process may still open; nullopt where there is no such
// limit or it cannot be read.
std::optional<std::size_t> descriptorsLeft();

// Whether ports below 1024 need the system's privilege to listen on (Linux).
bool lowPortsNeedPrivilege();

}  // namespace velmora::vpn::platform
