#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "pipe_client.h"

namespace velmora::vpn::testing {

// The exact texts the service answers with.
inline std::string okAnswer(const std::string& payload) {
    return R"({"version":1,"ok":true,"payload":)" + payload + "}";
}
inline std::string errorAnswer(const std::string& message) {
    return R"({"version":1,"ok":false,"error":{"message":")" + message + R"("}})";
}
inline std::string pingRequest(long requestId) {
    return R"({"command":"ping","requestId":)" + std::to_string(requestId) + "}";
}
inline std::string pingAnswer(long requestId) {
    return R"({"version":1,"requestId":)" + std::to_string(requestId) + R"(,"ok":true,"payload":{"status":"ok"}})";
}
// A start request for the stand-in engine: its script object and, when `port`
// is not 0, one inbound it listens on while it runs.
std::string startRequest(const std::string& standin, std::uint16_t port, std::uint32_t owner = 0);
// The instance id of a successful start's answer, or -1 for any other text.
std::int32_t startedId(const std::string& answer);

// What one round of a client came to.
enum class Outcome { answered, wrong, undelivered };
// Clients running rounds for as long as the guard lives. By default a round
// is a ping that counts as answered only when its own id comes back.
class Traffic {
public:
    using Round = std::function<Outcome(int client, long round)>;
    explicit Traffic(std::wstring pipe, int clients = 8,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000), Round round = {});
    ~Traffic() { finish(); }
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;

    // Stops the clients after their current round and waits for them.
    void finish();
    long answered() const { return counts_[0]; }
    long wrong() const { return counts_[1]; }        // delivered, but not the answer to that request
    long undelivered() const { return counts_[2]; }  // no answer at all
    // Waits until `more` rounds beyond those answered now have been answered.
    bool answersMore(long more, std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) const;

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> counts_[3] = {0, 0, 0};
    std::vector<std::future<void>> running_;
};

}  // namespace velmora::vpn::testing
