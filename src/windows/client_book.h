#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/read_breaker.h"

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
    // A connection was handed to a new client thread.
    void countIn();
    // The client thread is finished; wakes `waitForClients`.
    void countOut();
    // Waits until no client thread is active or the limit has passed, and
    // returns how many are still active.
    std::int32_t waitForClients(std::chrono::milliseconds limit);
    // Waits up to `limit` until fewer than `most` client threads are active;
    // true when there is room.
    bool waitForRoom(std::int32_t most, std::chrono::milliseconds limit);

    // Marks a call into the server; false once the server has detached.
    bool enterServer();
    void leaveServer();
    // Called by the server's destructor: no new calls may enter, and calls in
    // progress are waited for, so no client thread is inside the server once
    // it returns.
    void detachServer();

    // Reading deadlines. A client thread registers its connection's breaker
    // before it reads the request and withdraws it once the request is in
    // (the breaker must outlive the registration); withdraw answers whether
    // the deadline passed first, in which case the read was broken off.
    std::uint64_t registerReader(const platform::ReadBreaker& breaker, std::chrono::steady_clock::time_point deadline);
    bool withdrawReader(std::uint64_t ticket);
    // The deadline watch: breaks off every read whose deadline has passed,
    // from armDeadlineWatch (called before its thread starts) until
    // stopDeadlineWatch. Runs on a thread of the server's.
    void armDeadlineWatch();
    void watchDeadlines();
    void stopDeadlineWatch();

private:
    struct Reader {
        const platform::ReadBreaker* breaker;
        std::chrono::steady_clock::time_point deadline;
        bool brokenOff = false;
    };

    std::mutex clientsMutex_;                  // guards every member below
    std::condition_variable clientsDone_;      // notified on countOut and leaveServer
    std::int32_t activeClients_ = 0;           // client threads handed a connection and not yet finished
    bool serverAttached_ = true;               // false once the server is being destroyed
    std::int32_t callsInServer_ = 0;           // client threads inside the server right now
    std::map<std::uint64_t, Reader> readers_;  // ticket -> a connection still reading its request
    std::uint64_t nextTicket_ = 0;
    bool watchingDeadlines_ = false;  // from armDeadlineWatch until stopDeadlineWatch
    std::chrono::steady_clock::time_point watchWakes_ = std::chrono::steady_clock::time_point::max();
    std::condition_variable readersChanged_;  // notified on registerReader and stopDeadlineWatch
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
