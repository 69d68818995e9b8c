#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "policy/policy_settings.h"

namespace velmora::vpn {

// Now plus `wait`; the clock's farthest time where that would overflow, so
// that a very long setting means "never" rather than the past.
inline std::chrono::steady_clock::time_point deadlineAfter(std::chrono::milliseconds wait) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    return wait >= Clock::time_point::max() - now ? Clock::time_point::max() : now + wait;
}

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
    // How often a failure that repeats on every try (no endpoint can be
    // made) is summed up in the log while it lasts.
    std::chrono::milliseconds failureSummaryInterval{60000};

    // What a client that does not behave may cost (docs/operations.md,
    // "Limits"). Connections served at once: beyond it, new clients wait in
    // the system's queue (Linux) or find the pipe busy (Windows) until one
    // ends. A desktop client makes one request at a time, so 64 is far above
    // honest use and still bounds threads and memory.
    std::int32_t maxClients = 64;
    // Shares of those places. Every local user may connect: an ordinary
    // user (not root, LocalSystem, an administrator or the service's own
    // user) holds at most `maxConnectionsPerUser` at once, and ordinary users
    // together leave `privilegedPlaces` free, so no user's load keeps another
    // user, or the system's own callers, out. A connection beyond its share is
    // closed at once, without a thread.
    std::int32_t maxConnectionsPerUser = 8;
    std::int32_t privilegedPlaces = 8;
    // Instances an ordinary user runs at once, and ordinary users together
    // (as they hold at most 56 connections); the start beyond is refused.
    std::int32_t maxInstancesPerUser = 16;
    std::int32_t maxOrdinaryInstances = 48;
    // Time a client has to deliver its whole request after connecting, and
    // again to take its whole answer once it is ready.
    std::chrono::milliseconds requestDeadline{10000};
    // Stack of each client thread. A client thread reads one frame into the
    // heap, parses it (the parser does not recurse) and writes one answer; it
    // needs a few KiB. A small fixed stack spares mapping, touching and
    // unmapping the default 8 MiB for every connection.
    std::size_t clientStackBytes = 256 * 1024;
    // Memory. Requests whose bodies pass their first 64 KiB that are read,
    // parsed and answered at once; the others wait for a place until their
    // deadline. A desktop client sends one large configuration now and then.
    std::int32_t maxLargeRequests = 2;
    // Memory one request may take while it is parsed: a 16 MiB configuration
    // needs about 16 MiB, a body of 16 MiB that expands in the parser (such as
    // an array of zeros) would take 25 times its size.
    std::size_t maxParseBytes = 64 * 1024 * 1024;
    // Lines about single failed connections logged in any one second.
    std::int32_t connectionLinesPerSecond = 5;
    // Lines about an ordinary user's instances (started, stopped, stopped
    // all, owner gone, refused) logged in any one second, and the bytes of
    // their text, for each user and for all ordinary users together: a desktop
    // client starts and stops a few, and no users together can push the
    // service's own lines out of the log in less than hours.
    std::int32_t instanceLinesPerSecond = 20;
    std::size_t instanceBytesPerSecond = 1024;
    std::size_t ordinaryBytesPerSecond = 2048;
    // The most of a text a caller chose (a configuration's key or value in a
    // refusal) that a log line carries.
    std::size_t callerTextInLine = 200;
    // What ordinary callers' configurations may ask of the service.
    PolicySettings policy;
    // Told of a refusal an administrator must hear of beyond the log (a
    // user's data folder that is not the system's), with its log line.
    std::function<void(const std::string&)> notice;
};

}  // namespace velmora::vpn
