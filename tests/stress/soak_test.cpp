#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <vector>

#include "backend/singbox_in_process_backend.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/traffic.h"
#include "support/wait_until.h"

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

struct Tally {
    std::atomic<long> exchanges{0};
    std::atomic<long> undelivered{0};
    std::atomic<long> wrong{0};           // an answer other than the one this request must get
    std::atomic<long> stillListening{0};  // a stop answered ok whose instance never went away
    std::atomic<long> stopsVerified{0};   // instances seen listening, stopped, then seen gone
    std::atomic<long> startsCaught{0};    // starts a concurrent stop-all ended while they came up
};

// Every client owns one port: each round it pings, starts an instance that
// listens on its port, stops it by the id the start answered, and checks that
// the port closed; now and then it stops everything, racing the others' starts.
void soakClient(const std::wstring& pipe, std::uint16_t port, int client,
                std::chrono::steady_clock::time_point deadline, Tally& tally) {
    auto exchange = [&](const std::string& request) -> std::string {
        ++tally.exchanges;
        const auto result = velmora::client::sendRequest(pipe, request);
        if (!result.delivered) {
            ++tally.undelivered;
            std::fprintf(stderr, "undelivered %s: %s\n", request.c_str(), result.error.c_str());
        }
        return result.response;
    };
    auto expect = [&](const std::string& request, const std::string& answer) {
        const std::string got = exchange(request);
        if (got != answer) {
            ++tally.wrong;
            std::fprintf(stderr, "%s answered %s\n", request.c_str(), got.c_str());
        }
    };
    for (long round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
        expect(testing::pingRequest(client * 1000000L + round), testing::pingAnswer(client * 1000000L + round));
        // Owned by this process, so the owner table is edited by every client at once.
        const std::string started = exchange(testing::startRequest("", port, testing::currentProcessId()));
        const std::int32_t id = testing::startedId(started);
        if (id >= 0) {
            const bool listening = testing::tcpPortAccepts(port);
            expect(R"({"command":"stop","payload":{"instanceId":)" + std::to_string(id) + "}}",
                   testing::okAnswer("{}"));
            // A stop-all of another client may have taken the instance just
            // before this stop and still be ending it; an orphan never ends.
            if (!testing::waitUntil([&] { return !testing::tcpPortAccepts(port); })) {
                ++tally.stillListening;
            } else if (listening) {
                ++tally.stopsVerified;
            }
        } else if (started == testing::errorAnswer("sing-box did not come up. State: 0")) {
            ++tally.startsCaught;
        } else {
            ++tally.wrong;
            std::fprintf(stderr, "start answered %s\n", started.c_str());
        }
        if ((round + client) % 25 == 0) expect(R"({"command":"stopAll"})", testing::okAnswer("{}"));
    }
}

TEST(Soak, SixtyFourClientsMixingEveryCommandLoseNothingAndLeakNothing) {
    constexpr int kClients = 64;
    std::vector<std::uint16_t> ports;
    for (int c = 0; c < kClients; ++c) ports.push_back(testing::freeTcpPort());
    SingBoxInProcessBackend backend;
    testing::RunningServer running(backend, {});
    const std::wstring pipe = running.pipeName();

    // Warm up every path once, then take the baseline.
    ASSERT_EQ(velmora::client::sendRequest(pipe, testing::pingRequest(1)).response, testing::pingAnswer(1));
    ASSERT_EQ(velmora::client::sendRequest(pipe, R"({"command":"stopAll"})").response, testing::okAnswer("{}"));
    const testing::ResourceCounts before = testing::processResources();

    Tally tally;
    const auto deadline = std::chrono::steady_clock::now() + soakDuration();
    std::vector<std::future<void>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::async(std::launch::async, [&, c] { soakClient(pipe, ports[c], c, deadline, tally); }));
    }
    for (auto& client : clients) client.get();
    ASSERT_EQ(velmora::client::sendRequest(pipe, R"({"command":"stopAll"})").response, testing::okAnswer("{}"));

    // Detached client threads finish just after their answers: let them go.
    testing::waitUntil([&] {
        const auto now = testing::processResources();
        return now.threads <= before.threads && now.handles <= before.handles;
    });
    const testing::ResourceCounts after = testing::processResources();
    report("before", before);
    report("after", after);
    std::printf("%ld exchanges, %ld stops verified, %ld starts caught by a stop-all\n", tally.exchanges.load(),
                tally.stopsVerified.load(), tally.startsCaught.load());

    EXPECT_GT(tally.stopsVerified.load(), kClients);
    EXPECT_EQ(tally.undelivered.load(), 0);
    EXPECT_EQ(tally.wrong.load(), 0);
    EXPECT_EQ(tally.stillListening.load(), 0);
    EXPECT_LE(after.threads, before.threads);  // every run thread and client thread is gone
    EXPECT_LE(after.handles, before.handles + 2);
#if !defined(VELMORA_SANITIZED_BUILD)
    EXPECT_LT(after.residentBytes, before.residentBytes + 64u * 1024 * 1024);
#endif
}

}  // namespace
}  // namespace velmora::vpn
