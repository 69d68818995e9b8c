#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "backend/singbox_in_process_backend.h"
#include "pipe_client.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/wait_until.h"
#include "support/well_formed.h"

namespace velmora::vpn {
namespace {

// How long the soak runs: 30 s, shorter where the environment says so (the
// sanitizer presets, whose builds are several times slower).
std::chrono::seconds soakDuration() {
    const char* seconds = std::getenv("VELMORA_SOAK_SECONDS");
    return std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 30);
}

void report(const char* when, const testing::ResourceCounts& counts) {
    std::printf("%-6s threads %zu, handles %zu, resident %.1f MiB\n", when, counts.threads, counts.handles,
                static_cast<double>(counts.residentBytes) / (1024.0 * 1024.0));
}

TEST(Soak, SixtyFourClientsMixingEveryCommandLoseNothingAndLeakNothing) {
    SingBoxInProcessBackend backend;
    std::atomic<long> logLines{0};
    testing::RunningServer running(backend, [&logLines](const std::string&) { ++logLines; });
    const std::wstring pipe = running.pipeName();
    auto send = [&pipe](const std::string& request) { return velmora::client::sendRequest(pipe, request); };

    // Warm up every path once, then take the baseline.
    ASSERT_TRUE(send(R"({"command":"ping"})").delivered);
    ASSERT_TRUE(send(R"({"command":"stopAll"})").delivered);
    const testing::ResourceCounts before = testing::processResources();

    constexpr int kClients = 64;
    const auto deadline = std::chrono::steady_clock::now() + soakDuration();
    std::atomic<long> exchanges{0};
    std::atomic<long> malformed{0};
    std::atomic<long> undelivered{0};
    std::vector<std::future<void>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::async(std::launch::async, [&, c] {
            auto check = [&](const velmora::client::Exchange& exchange) {
                ++exchanges;
                if (!exchange.delivered) {
                    ++undelivered;
                    std::fprintf(stderr, "undelivered: %s\n", exchange.error.c_str());
                } else if (!testing::wellFormedResponse(exchange.response)) {
                    ++malformed;
                }
                return exchange.response;
            };
            for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
                check(send(R"({"command":"ping","requestId":)" + std::to_string(round) + "}"));
                const std::string started = check(send(R"({"command":"start","payload":{"config":"{}"}})"));
                const auto at = started.find("instanceId");
                if (at != std::string::npos) {
                    check(send(R"({"command":"stop","payload":{"instanceId":)" + started.substr(at + 12) + "}"));
                }
                if ((round + c) % 25 == 0) check(send(R"({"command":"stopAll"})"));
            }
        }));
    }
    for (auto& client : clients) client.get();
    ASSERT_TRUE(send(R"({"command":"stopAll"})").delivered);

    // Detached client threads finish just after their answers: let them go.
    testing::waitUntil([&] {
        const auto now = testing::processResources();
        return now.threads <= before.threads && now.handles <= before.handles;
    });
    const testing::ResourceCounts after = testing::processResources();
    report("before", before);
    report("after", after);
    std::printf("%ld exchanges, %ld log lines\n", exchanges.load(), logLines.load());

    EXPECT_GT(exchanges.load(), kClients * 3);
    EXPECT_EQ(undelivered.load(), 0);
    EXPECT_EQ(malformed.load(), 0);
    EXPECT_LE(after.threads, before.threads);  // every run thread and client thread is gone
    EXPECT_LE(after.handles, before.handles + 2);
    EXPECT_LT(after.residentBytes, before.residentBytes + 64u * 1024 * 1024);
}

}  // namespace
}  // namespace velmora::vpn
