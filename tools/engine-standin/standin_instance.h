#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmora::standin {

// How a test scripts one instance through the configuration's "standin" object.
struct Script {
    std::optional<std::int32_t> createResult;  // negative: creation fails with it
    std::optional<std::int32_t> fixedId;       // the id to hand out instead of the next one
    std::int32_t startDelayMs = 0;             // time to come up
    std::int32_t startState = 1;               // what the start wait answers once up
    std::int32_t stopResult = 0;               // answer of the first refused stops
    std::int32_t stopRefusals = 1;             // how many stops answer stopResult
    std::optional<std::int32_t> runForMs;      // ends by itself after this long
};

struct Endpoint {
    std::string address;
    std::uint16_t port = 0;
};

// One engine instance: comes up, listens on its inbound ports while it runs,
// and ends when stopped, when its run time is over, or when it failed to come up.
class Instance {
public:
    Instance(Script script, std::vector<Endpoint> endpoints);

    // The body of RunSingBoxInstance: returns when the instance has ended.
    void run();
    // 1 up, 0 when the time-out passes first (or it was stopped while coming
    // up), 2 when a port could not be bound, or the scripted state.
    std::int32_t waitStarted(std::int32_t timeoutMilliseconds);
    // Refuses as scripted, then asks the instance to end and answers 0.
    std::int32_t stop();
    // Ends the instance whatever its script says.
    void forceStop();

private:
    const Script script_;
    const std::vector<Endpoint> endpoints_;
    std::mutex mutex_;                 // guards the three members below
    std::condition_variable changed_;  // notified when state_ or stopRequested_ change
    std::optional<std::int32_t> state_;
    bool stopRequested_ = false;
    std::int32_t refusalsLeft_;
};

}  // namespace velmora::standin
