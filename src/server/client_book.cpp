#include "server/client_book.h"
#include "server/pipe_server_settings.h"

#include <algorithm>
#include <vector>

namespace velmora::vpn {

void ClientBook::lowerAndWake(std::int32_t& count) {
    {
        std::lock_guard lock(clientsMutex_);
        --count;
    }
    clientsDone_.notify_all();
}

ClientBook::Admission ClientBook::countIn(const platform::CallerIdentity& caller, std::int32_t perUser,
                                          std::int32_t ordinaryTotal) {
    std::lock_guard lock(clientsMutex_);
    if (!caller.privileged) {
        std::int32_t& held = clientsByUser_[caller.user];
        if (held >= perUser || ordinaryClients_ >= ordinaryTotal) {
            const Admission refusal = held >= perUser ? Admission::userShareTaken : Admission::ordinaryShareTaken;
            if (held == 0) clientsByUser_.erase(caller.user);
            return refusal;
        }
        ++held;
        ++ordinaryClients_;
    }
    ++activeClients_;
    return Admission::admitted;
}

void ClientBook::countOut(const platform::CallerIdentity& caller) {
    {
        std::lock_guard lock(clientsMutex_);
        if (!caller.privileged) {
            --ordinaryClients_;
            if (--clientsByUser_[caller.user] == 0) clientsByUser_.erase(caller.user);
        }
        --activeClients_;
    }
    clientsDone_.notify_all();
}

std::int32_t ClientBook::waitForClients(std::chrono::milliseconds limit) {
    std::unique_lock lock(clientsMutex_);
    clientsDone_.wait_until(lock, deadlineAfter(limit), [this] { return activeClients_ == 0; });
    return activeClients_;
}

bool ClientBook::waitForRoom(std::int32_t most, std::chrono::milliseconds limit) {
    std::unique_lock lock(clientsMutex_);
    return clientsDone_.wait_for(lock, limit, [&] { return activeClients_ < most; });
}

bool ClientBook::takeLargeRequest(const platform::CallerIdentity& caller, std::int32_t most,
                                  std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(clientsMutex_);
    const auto free = [&] {
        if (caller.privileged) return largeRequests_ < most;
        return largeRequests_ < most - 1 && largeByUser_.count(caller.user) == 0;
    };
    if (!clientsDone_.wait_until(lock, deadline, free)) return false;
    ++largeRequests_;
    if (!caller.privileged) ++largeByUser_[caller.user];
    return true;
}

void ClientBook::giveLargeRequest(const platform::CallerIdentity& caller) {
    {
        std::lock_guard lock(clientsMutex_);
        --largeRequests_;
        if (!caller.privileged && --largeByUser_[caller.user] == 0) largeByUser_.erase(caller.user);
    }
    clientsDone_.notify_all();
}

bool ClientBook::enterServer() {
    std::lock_guard lock(clientsMutex_);
    if (!serverAttached_) return false;
    ++callsInServer_;
    return true;
}

void ClientBook::leaveServer() { lowerAndWake(callsInServer_); }

void ClientBook::detachServer() {
    std::unique_lock lock(clientsMutex_);
    serverAttached_ = false;
    clientsDone_.wait(lock, [this] { return callsInServer_ == 0; });
}

std::uint64_t ClientBook::registerExchange(const platform::IoBreaker& breaker,
                                           std::chrono::steady_clock::time_point deadline) {
    std::uint64_t ticket = 0;
    bool sooner = false;
    {
        std::lock_guard lock(clientsMutex_);
        ticket = nextTicket_++;
        deadline = std::min(deadline, latestDeadline_);
        exchanges_.emplace(ticket, Exchange{&breaker, deadline});
        // The watch need only wake for a deadline before the one it waits for.
        sooner = deadline < watchWakes_;
        if (sooner) watchWakes_ = deadline;
    }
    if (sooner) exchangesChanged_.notify_all();
    return ticket;
}

bool ClientBook::withdrawExchange(std::uint64_t ticket) {
    std::unique_lock lock(clientsMutex_);
    const auto found = exchanges_.find(ticket);
    if (found == exchanges_.end()) return false;
    // The watch may be calling this exchange's breaker right now.
    breaksDone_.wait(lock, [&] { return !found->second.breaking; });
    const bool brokenOff = found->second.brokenOff;
    exchanges_.erase(found);
    return brokenOff;
}

void ClientBook::limitDeadlines(std::chrono::steady_clock::time_point latest) {
    std::lock_guard lock(clientsMutex_);
    latestDeadline_ = latest;
}

void ClientBook::watchDeadlines() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(clientsMutex_);
    while (watchingDeadlines_) {
        const Clock::time_point now = Clock::now();
        // With nothing due sooner the watch still wakes once a second: an
        // exchange whose deadline lies beyond that need not wake it, so most
        // connections register without a wake-up.
        Clock::time_point next = now + std::chrono::seconds(1);
        std::vector<Exchange*> due;
        for (auto& [ticket, exchange] : exchanges_) {
            if (exchange.deadline <= now) {
                exchange.brokenOff = exchange.breaking = true;
                due.push_back(&exchange);
                next = std::min(next, now + kBreakRepeat);  // until its thread withdraws it
            } else {
                next = std::min(next, exchange.deadline);
            }
        }
        if (!due.empty()) {
            // The breakers are called without the lock; an exchange marked
            // as breaking cannot be withdrawn, so its entry and breaker stay.
            lock.unlock();
            for (const Exchange* exchange : due) exchange->breaker->breakOff();
            lock.lock();
            for (Exchange* exchange : due) exchange->breaking = false;
            breaksDone_.notify_all();
        }
        watchWakes_ = next;
        exchangesChanged_.wait_until(lock, next);
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
    exchangesChanged_.notify_all();
}

}  // namespace velmora::vpn
