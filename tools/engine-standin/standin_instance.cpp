#include "standin_instance.h"

#include <chrono>

#include "tcp_listener.h"

namespace velmora::standin {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Instance::Instance(Script script, std::vector<Endpoint> endpoints)
    : script_(script), endpoints_(std::move(endpoints)), refusalsLeft_(script.stopRefusals) {}

void Instance::run() {
    std::unique_lock lock(mutex_);
    if (changed_.wait_for(lock, milliseconds(script_.startDelayMs), [this] { return stopRequested_; })) {
        state_ = 0;
        changed_.notify_all();
        return;
    }
    lock.unlock();

    std::vector<TcpListener> listeners;
    bool bound = true;
    for (const Endpoint& endpoint : endpoints_) {
        listeners.emplace_back();
        bound = bound && listeners.back().open(endpoint.address, endpoint.port);
    }

    lock.lock();
    state_ = bound ? script_.startState : 2;
    changed_.notify_all();
    if (*state_ != 0 && *state_ != 1) return;  // failed to come up: ends by itself

    const Clock::time_point end =
        script_.runForMs ? Clock::now() + milliseconds(*script_.runForMs) : Clock::time_point::max();
    while (!stopRequested_ && Clock::now() < end) {
        if (listeners.empty()) {
            changed_.wait_until(lock, end, [this] { return stopRequested_; });
            continue;
        }
        lock.unlock();
        TcpListener::waitForAny(listeners.data(), listeners.size(), 10);
        for (TcpListener& listener : listeners) listener.acceptPending();
        lock.lock();
    }
}

std::int32_t Instance::waitStarted(std::int32_t timeoutMilliseconds) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, milliseconds(timeoutMilliseconds), [this] { return state_.has_value(); })) return 0;
    return *state_;
}

std::int32_t Instance::stop() {
    std::lock_guard lock(mutex_);
    if (script_.stopResult != 0 && refusalsLeft_ > 0) {
        --refusalsLeft_;
        return script_.stopResult;
    }
    stopRequested_ = true;
    changed_.notify_all();
    return 0;
}

void Instance::forceStop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    changed_.notify_all();
}

}  // namespace velmora::standin
