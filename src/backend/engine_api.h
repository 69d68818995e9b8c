#pragma once

#include <cstdint>

// The call contract of the sing-box engine library, as this service calls it.
// Every instance id is a signed 32-bit integer; the library exports the five
// functions below with C linkage under exactly these names.
namespace velmora::vpn::engine {

// Takes a modifiable, NUL-terminated copy of the configuration text, which is
// freed when the call returns. Returns the new id (0 or more) or a negative value.
using CreateSingBoxInstanceFn = std::int32_t (*)(char* config);
// Runs the instance, blocking until it has ended. Result not used.
using RunSingBoxInstanceFn = std::int32_t (*)(std::int32_t instanceId);
// Waits up to the time-out: 1 running, 0 not up (the caller then stops it), other values a failure.
using WaitSingBoxInstanceStartedFn = std::int32_t (*)(std::int32_t instanceId, std::int32_t timeoutMilliseconds);
// 0 stopped (its run call then returns); anything else is a refusal.
using StopSingBoxInstanceFn = std::int32_t (*)(std::int32_t instanceId);
// Stops every instance; every pending run call then returns. Result not used.
using StopAllSingBoxInstancesFn = std::int32_t (*)();

inline constexpr const char* kCreateExport = "CreateSingBoxInstance";
inline constexpr const char* kRunExport = "RunSingBoxInstance";
inline constexpr const char* kWaitExport = "WaitSingBoxInstanceStarted";
inline constexpr const char* kStopExport = "StopSingBoxInstance";
inline constexpr const char* kStopAllExport = "StopAllSingBoxInstances";

}  // namespace velmora::vpn::engine
