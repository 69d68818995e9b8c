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

bool ClientBook::waitForRoom(std::int32_t most, std::chrono::milliseconds limit) {
    std::unique_lock lock(clientsMutex_);
    return clientsDone_.wait_for(lock, limit, [&] { return activeClients_ < most; });
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

std::uint64_t ClientBook::registerReader(const platform::ReadBreaker& breaker,
                                         std::chrono::steady_clock::time_point deadline) {
    std::uint64_t ticket = 0;
    bool sooner = false;
    {
        std::lock_guard lock(clientsMutex_);
        ticket = nextTicket_++;
        readers_.emplace(ticket, Reader{&breaker, deadline});
        // The watch need only wake for a deadline before the one it waits for.
        sooner = deadline < watchWakes_;
        if (sooner) watchWakes_ = deadline;
    }
    if (sooner) readersChanged_.notify_all();
    return ticket;
}

bool ClientBook::withdrawReader(std::uint64_t ticket) {
    std::lock_guard lock(clientsMutex_);
    const auto found = readers_.find(ticket);
    if (found == readers_.end()) return false;
    const bool brokenOff = found->second.brokenOff;
    readers_.erase(found);
    return brokenOff;
}

void ClientBook::watchDeadlines() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(clientsMutex_);
    while (watchingDeadlines_) {
        const Clock::time_point now = Clock::now();
        // With nothing due sooner the watch still wakes once a second: a
        // reader whose deadline lies beyond that need not wake it, so most
        // connections register without a wake-up.
        Clock::time_point next = now + std::chrono::seconds(1);
        for (auto& [ticket, reader] : readers_) {
            if (reader.brokenOff) continue;
            if (reader.deadline <= now) {
                // Under the lock: the reader cannot withdraw, and so cannot
                // close its connection, while it is being broken off.
                reader.breaker->breakOff();
                reader.brokenOff = true;
            } else if (reader.deadline < next) {
                next = reader.deadline;
            }
        }
        watchWakes_ = next;
        readersChanged_.wait_until(lock, next);
    }
}

void ClientBook::armDeadlineWatch() {
    std::lock_guard lock(clientsMutex_);
    watchingDeadlines_ = true;
}

void ClientBook::stopDeadlineWatch() {
    {
        std::lock_guard lock(clientsMutex_);
        watchingDeadlines_ = false;
    }
    readersChanged_.notify_all();
}

}  // namespace velmora::vpn
