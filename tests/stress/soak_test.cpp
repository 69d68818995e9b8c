#include "support/prelude.h"

#include <cstdio>
#include <cstdlib>

#include "backend/singbox_in_process_backend.h"

namespace velmora::vpn {
namespace {

using testing::expectAnswer;

// Every client owns one port: each round it pings, starts an instance that
// listens on its port, stops it by the id the start answered, and checks that
// the port closed; now and then it stops everything, racing the others'
// starts. An instance a stop answered ok for that keeps listening is an
// orphan, and counts as a wrong answer.
Outcome soakRound(const std::wstring& pipe, std::uint16_t port, int client, long round, std::atomic<long>& stopsSeen) {
    const long ping = client * 1000000L + round;
    Outcome outcome = expectAnswer(pipe, testing::pingRequest(ping), testing::pingAnswer(ping));
    // Owned by this process, so the owner table is edited by every client at once.
    const auto started = sendRequest(pipe, testing::startRequest("", port, testing::currentProcessId()));
    const std::int32_t id = testing::startedId(started.response);
    if (!started.delivered) return Outcome::undelivered;
    if (id < 0 && started.response != testing::errorAnswer("sing-box did not come up. State: 0")) {
        std::fprintf(stderr, "start answered %s\n", started.response.c_str());
        return Outcome::wrong;  // only a start caught by another client's stop-all may fail
    }
    if (id >= 0 && outcome == Outcome::answered) {
        stopsSeen += testing::tcpPortAccepts(port) ? 1 : 0;  // seen listening, then stopped and seen closed
        outcome = expectAnswer(pipe, R"({"command":"stop","payload":{"instanceId":)" + std::to_string(id) + "}}",
                               testing::okAnswer("{}"));
        // A stop-all of another client may have taken the instance just
        // before this stop and still be ending it; an orphan never ends.
        if (!testing::waitUntil([&] { return !testing::tcpPortAccepts(port); })) return Outcome::wrong;
    }
    if ((round + client) % 25 == 0 && outcome == Outcome::answered)
        outcome = expectAnswer(pipe, R"({"command":"stopAll"})", testing::okAnswer("{}"));
    return outcome;
}

TEST(Soak, SixtyFourClientsMixingEveryCommandLoseNothingAndLeakNothing) {
    constexpr int kClients = 64;
    // 30 s, shorter where the environment says so (the slower sanitizer builds).
    const char* seconds = std::getenv("VELMORA_SOAK_SECONDS");
    std::vector<std::uint16_t> ports;
    for (int c = 0; c < kClients; ++c) ports.push_back(testing::freeTcpPort());
    SingBoxInProcessBackend backend;
    testing::RunningServer running(backend, {});
    const std::wstring pipe = running.pipeName();

    // Warm up every path once, then take the baseline.
    ASSERT_EQ(expectAnswer(pipe, testing::pingRequest(1), testing::pingAnswer(1)), Outcome::answered);
    ASSERT_EQ(expectAnswer(pipe, R"({"command":"stopAll"})", testing::okAnswer("{}")), Outcome::answered);
    const testing::ResourceCounts before = testing::processResources();
    std::atomic<long> stopsSeen{0};
    testing::Traffic soak(pipe, kClients, milliseconds(5000), [&](int client, long round) {
        return soakRound(pipe, ports[client], client, round, stopsSeen);
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 30));  // its length
    soak.finish();
    ASSERT_EQ(expectAnswer(pipe, R"({"command":"stopAll"})", testing::okAnswer("{}")), Outcome::answered);

    // Detached client threads finish just after their answers: let them go.
    testing::resourcesBackTo(before);
    const testing::ResourceCounts after = testing::processResources();
    std::printf("%ld rounds, %ld stops seen; threads %zu -> %zu, handles %zu -> %zu, resident %zu -> %zu KiB\n",
                soak.answered(), stopsSeen.load(), before.threads, after.threads, before.handles, after.handles,
                before.residentBytes / 1024, after.residentBytes / 1024);
    EXPECT_GT(stopsSeen.load(), kClients);
    EXPECT_EQ(soak.undelivered(), 0);
    EXPECT_EQ(soak.wrong(), 0);
    EXPECT_LE(after.threads, before.threads);  // every run thread and client thread is gone
    EXPECT_LE(after.handles, before.handles + 2);
#if !defined(VELMORA_SANITIZED_BUILD)
    EXPECT_LT(after.residentBytes, before.residentBytes + 64u * 1024 * 1024);
#endif
}

}  // namespace
}  // namespace velmora::vpn
