#include "windows/client_book.h"

namespace velmora::vpn {

void ClientBook::countIn() {
    std::lock_guard lock(clientsMutex_);
    ++activeClients_;
}

void ClientBook::countOut() {
    {
        std::lock_guard lock(clientsMutex_);
        --activeClients_;
    }
    clientsDone_.notify_all();
}

std::int32_t ClientBook::waitForClients(std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(clientsMutex_);
    const Clock::time_point now = Clock::now();
    // Saturate instead of overflowing for very long limits.
    const Clock::time_point deadline = limit >= Clock::time_point::max() - now ? Clock::time_point::max() : now + limit;
    clientsDone_.wait_until(lock, deadline, [this] { return activeClients_ == 0; });
    return activeClients_;
}

bool ClientBook::enterServer() {
    std::lock_guard lock(clientsMutex_);
    if (!serverAttached_) return false;
    ++callsInServer_;
    return true;
}

void ClientBook::leaveServer() {
    {
        std::lock_guard lock(clientsMutex_);
        --callsInServer_;
    }
    clientsDone_.notify_all();
}

void ClientBook::detachServer() {
    std::unique_lock lock(clientsMutex_);
    serverAttached_ = false;
    clientsDone_.wait(lock, [this] { return callsInServer_ == 0; });
}

}  // namespace velmora::vpn
