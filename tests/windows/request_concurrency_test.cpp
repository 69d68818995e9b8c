#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <boost/json.hpp>

#include "support/mock_backend.h"
#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

// Many client threads drive one server at once, as the pipe server does; the
// owner table and the log must come through consistent (and, under
// ThreadSanitizer, race-free).
TEST(RequestConcurrency, ManyThreadsShareOneServer) {
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    SingBoxNamedPipeServer server(L"", backend, logs.callback());

    constexpr int kThreads = 8;
    constexpr int kRounds = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const std::string started = server.handleRequest(
                    R"({"command":"start","requestId":)" + std::to_string(round) +
                    R"(,"payload":{"config":"c","ownerProcessId":)" + std::to_string(t + 1) + "}}");
                const boost::json::object response = boost::json::parse(started).as_object();
                if (!response.at("ok").as_bool() || response.at("requestId").as_int64() != round) ++failures;
                const auto id = response.at("payload").at("instanceId").as_int64();
                if (round % 2 == 0) {
                    server.handleRequest(R"({"command":"stop","payload":{"instanceId":)" + std::to_string(id) + "}}");
                }
                if (server.handleRequest(R"({"command":"ping"})") !=
                    R"({"version":1,"ok":true,"payload":{"status":"ok"}})")
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(server.watchedOwners().size(), static_cast<std::size_t>(kThreads * kRounds / 2));
    EXPECT_EQ(logs.lines().size(), static_cast<std::size_t>(kThreads * kRounds * 3 / 2));
    server.handleRequest(R"({"command":"stopAll"})");
    EXPECT_TRUE(server.watchedOwners().empty());
}

}  // namespace
}  // namespace velmora::vpn
