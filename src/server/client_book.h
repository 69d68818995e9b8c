#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/caller_identity.h"
#include "platform/io_breaker.h"

namespace velmora::vpn {

// The part of the pipe server that its detached client threads share with it.
// Each client thread holds it through a shared pointer, so it outlives the
// server for as long as any client thread runs. A client thread that is still
// blocked on a silent client when the server is destroyed therefore touches
// only this record and its own pipe handle: before it calls into the server
// (request handling, the backend, the log) it must `enterServer`, which fails
// once the server has detached itself.
class ClientBook {
public:
    // Counts in a connection from `caller` that is to get a client thread,
    // unless it is beyond the caller's share: an ordinary caller's user
    // already holds `perUser` connections, or ordinary callers together hold
    // `ordinaryTotal`. Returns what was decided.
    enum class Admission { admitted, userShareTaken, ordinaryShareTaken };
    Admission countIn(const platform::CallerIdentity& caller, std::int32_t perUser, std::int32_t ordinaryTotal);
    // The connection's client thread is finished (or never started); wakes
    // `waitForClients`.
    void countOut(const platform::CallerIdentity& caller);
    // Waits until no client thread is active or the limit has passed, and
    // returns how many are still active.
    std::int32_t waitForClients(std::chrono::milliseconds limit);
    // Waits up to `limit` until fewer than `most` client threads are active;
    // true when there is room.
    bool waitForRoom(std::int32_t most, std::chrono::milliseconds limit);

    // Requests whose bodies pass their first 64 KiB, in flight at once: a
    // client thread waits for one of `most` places until `deadline`; false
    // when none came free. An ordinary caller's user holds at most one place
    // at a time, and ordinary callers leave the last place to privileged
    // ones. Each place taken is given back once its answer is out (or the
    // request failed).
    bool takeLargeRequest(const platform::CallerIdentity& caller, std::int32_t most,
                          std::chrono::steady_clock::time_point deadline);
    void giveLargeRequest(const platform::CallerIdentity& caller);

    // Marks a call into the server; false once the server has detached.
    bool enterServer();
    void leaveServer();
    // Called by the server's destructor: no new calls may enter, and calls in
    // progress are waited for, so no client thread is inside the server once
    // it returns.
    void detachServer();

    // Exchange deadlines. A client thread registers its connection's breaker
    // before it reads the request, and again before it writes and flushes
    // the answer, and withdraws it once that part is done (the breaker must
    // outlive the registration). Withdraw answers whether the deadline passed
    // first, in which case the I/O was broken off; it waits for a break-off
    // under way, so once it returns the watch never touches that breaker again.
    std::uint64_t registerExchange(const platform::IoBreaker& breaker, std::chrono::steady_clock::time_point deadline);
    bool withdrawExchange(std::uint64_t ticket);
    // From now on no exchange registered is given a deadline past `latest`:
    // an orderly stop waits for an answer no longer than one deadline, even
    // for requests that were read before it and are answered after it.
    void limitDeadlines(std::chrono::steady_clock::time_point latest);
    // The deadline watch: breaks off every exchange whose deadline has passed,
    // and again every `kBreakRepeat` until it is withdrawn (on Windows a
    // cancel finds only the call under way), from armDeadlineWatch (called
    // before its thread starts) until stopDeadlineWatch. Runs on a thread of
    // the server's. It makes no system call while it holds the lock.
    void armDeadlineWatch();
    void watchDeadlines();
    void stopDeadlineWatch();
    static constexpr std::chrono::milliseconds kBreakRepeat{100};

private:
    // Lowers one of the counts below under the lock, then wakes every waiter.
    void lowerAndWake(std::int32_t& count);

    struct Exchange {
        const platform::IoBreaker* breaker;
        std::chrono::steady_clock::time_point deadline;
        bool brokenOff = false;  // the deadline passed and the watch has begun breaking it off
        bool breaking = false;   // the watch is calling its breaker right now, without the lock
    };

    std::mutex clientsMutex_;                            // guards every member below
    std::condition_variable clientsDone_;                // notified on countOut, leaveServer and giveLargeRequest
    std::int32_t activeClients_ = 0;                     // client threads handed a connection and not yet finished
    std::int32_t ordinaryClients_ = 0;                   // those of them serving ordinary callers
    std::map<std::string, std::int32_t> clientsByUser_;  // ordinary caller's user -> its connections (never 0)
    bool serverAttached_ = true;                         // false once the server is being destroyed
    std::int32_t callsInServer_ = 0;                     // client threads inside the server right now
    std::int32_t largeRequests_ = 0;                     // places taken by large requests
    std::map<std::string, std::int32_t> largeByUser_;    // ordinary caller's user -> its place (never 0)
    std::map<std::uint64_t, Exchange> exchanges_;        // ticket -> a connection reading or answering
    std::uint64_t nextTicket_ = 0;
    std::chrono::steady_clock::time_point latestDeadline_ = std::chrono::steady_clock::time_point::max();
    bool watchingDeadlines_ = false;  // from armDeadlineWatch until stopDeadlineWatch
    std::chrono::steady_clock::time_point watchWakes_ = std::chrono::steady_clock::time_point::max();
    std::condition_variable exchangesChanged_;  // notified on registerExchange and stopDeadlineWatch
    std::condition_variable breaksDone_;        // notified when the watch has called the breakers of a pass
};

// Holds one `enterServer` for a scope.
class ServerCall {
public:
    explicit ServerCall(ClientBook& book) : book_(book), entered_(book.enterServer()) {}
    ~ServerCall() {
        if (entered_) book_.leaveServer();
    }
    ServerCall(const ServerCall&) = delete;
    ServerCall& operator=(const ServerCall&) = delete;
    bool entered() const { return entered_; }

private:
    ClientBook& book_;
    bool entered_;
};

}  // namespace velmora::vpn
