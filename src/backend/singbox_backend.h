#pragma once

#include <cstdint>
#include <string>

namespace velmora::vpn {

// Outcome of starting one engine instance. `instanceId` is the engine's id on
// success and on every failure after the engine was called (for a failed
// create it holds the engine's negative result).
struct StartResult {
    bool ok = false;
    std::int32_t instanceId = -1;
    std::string error;
};

// Outcome of stopping one instance or all of them; `error` is empty on success.
struct StopResult {
    bool ok = false;
    std::string error;
};

// Starts and stops sing-box engine instances. Engine failures come back in the
// result records, never as exceptions; only failures of threads and locks
// escape as std::system_error. All operations may be called from any thread at
// once, and an implementation serialises its own bookkeeping.
class SingBoxBackend {
public:
    virtual ~SingBoxBackend() = default;

    // Blocks until the instance runs or has failed to come up.
    virtual StartResult startInstance(const std::string& config) = 0;
    // Succeeds without doing anything for an id that is not registered.
    virtual StopResult stopInstance(std::int32_t instanceId) = 0;
    // Always succeeds; every instance registered when it begins is gone when it returns.
    virtual StopResult stopAllInstances() = 0;

protected:
    SingBoxBackend() = default;
    SingBoxBackend(const SingBoxBackend&) = default;
    SingBoxBackend& operator=(const SingBoxBackend&) = default;
};

}  // namespace velmora::vpn
