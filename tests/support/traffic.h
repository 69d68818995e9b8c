#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
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

// Honest clients pinging with request ids for as long as the guard lives; a
// ping counts as answered only when its own id comes back in a success.
class Traffic {
public:
    explicit Traffic(std::wstring pipe, int clients = 8,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    ~Traffic() { finish(); }
    Traffic(const Traffic&) = delete;
    Traffic& operator=(const Traffic&) = delete;

    // Stops the clients after their current exchange and waits for them.
    void finish();
    long answered() const { return answered_; }
    long wrong() const { return wrong_; }              // delivered, but not the answer to that ping
    long undelivered() const { return undelivered_; }  // no answer at all

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> answered_{0};
    std::atomic<long> wrong_{0};
    std::atomic<long> undelivered_{0};
    std::vector<std::future<void>> running_;
};

}  // namespace velmora::vpn::testing
