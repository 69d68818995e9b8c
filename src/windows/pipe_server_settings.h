#pragma once

#include <chrono>

namespace velmora::vpn {

// How often the owner watcher looks at the owners of running instances.
inline constexpr std::chrono::milliseconds kOwnerPollInterval{1000};

// The pipe server's timings. The defaults are the product's values; tests hand
// in shorter ones so that they never wait for a real second or minute.
struct PipeServerSettings {
    // Pause between polls for a client while no client is connected.
    std::chrono::milliseconds connectPollInterval{50};
    // Pause after the pipe endpoint could not be created.
    std::chrono::milliseconds createRetryPause{500};
    // Longest time shutdown waits for client threads to finish.
    std::chrono::milliseconds clientWaitLimit{60000};
    // Sleep before each scan of the owner watch table.
    std::chrono::milliseconds ownerPollInterval = kOwnerPollInterval;
};

}  // namespace velmora::vpn
