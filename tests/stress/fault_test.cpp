#include "support/prelude.h"

#include "runtime/runtime.h"
#include "runtime/service_host.h"
#include "runtime/service_logger.h"

namespace velmora::vpn {
namespace {

const std::string kStopAll = R"({"command":"stopAll"})";

// The whole runtime, its engine the stand-in, under clients that mix every
// command, told to stop part-way: every answer whole, every client answered
// or cleanly closed, nothing left running, the stop line last.
TEST(MixedRun, EveryClientIsAnsweredOrClosedAndTheStopLeavesNothingRunning) {
    const std::string folder = testing::makeTempFolder("mixed");
    processOptions = ServiceOptions{};
    processOptions.pipeName = testing::uniquePipeName();
    processOptions.logFile = platform::fromUtf8(folder + "/service.log");
    const std::wstring pipe = processOptions.pipeName;
    stopRequested = false;
    auto run = std::async(std::launch::async, [] { return runServer(true); });
    ASSERT_TRUE(testing::waitUntil([&] { return sendRequest(pipe, kStopAll, milliseconds(100)).delivered; },
                                   milliseconds(10000)));
    constexpr int kClients = 8;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < kClients; ++i) ports.push_back(testing::freeTcpPort());
    std::int32_t ids[kClients] = {};
    // Each client in turn: a start on its own port, a stop of what it started
    // (perhaps stopped by another's stop-all already), a ping, a stop-all. A
    // start that a racing stop-all caught is answered with the state it saw.
    std::string caught = testing::errorAnswer("sing-box did not come up. State: ");
    caught.resize(caught.size() - 3);  // the state and the closing characters vary
    testing::Traffic mixed(pipe, kClients, milliseconds(3000), [&](int client, long round) {
        const std::string requests[] = {
            testing::startRequest("", ports[client]),
            R"({"command":"stop","payload":{"instanceId":)" + std::to_string(std::max(ids[client], 0)) + "}}",
            testing::pingRequest(round), kStopAll};
        const std::string expected[] = {"", testing::okAnswer("{}"), testing::pingAnswer(round),
                                        testing::okAnswer("{}")};
        const auto exchange = sendRequest(pipe, requests[round % 4], milliseconds(3000));
        if (!exchange.delivered) return stopRequested ? Outcome::undelivered : Outcome::wrong;
        if (round % 4 == 0) {
            ids[client] = testing::startedId(exchange.response);
            return ids[client] >= 0 || exchange.response.rfind(caught, 0) == 0 ? Outcome::answered : Outcome::wrong;
        }
        return exchange.response == expected[round % 4] ? Outcome::answered : Outcome::wrong;
    });
    EXPECT_TRUE(mixed.answersMore(serviceManagerAvailable() ? 100 : 400));
    stopRequested = true;
    EXPECT_EQ(run.get(), 0u);
    mixed.finish();
    EXPECT_EQ(mixed.wrong(), 0);
    for (const std::uint16_t port : ports) EXPECT_FALSE(testing::tcpPortAccepts(port)) << port;
    EXPECT_EQ(messagesOf(testing::readFile(folder + "/service.log")).back(), "Velmora VPN service runtime stopped");
    processLogger.reset();  // it holds the log file open
    fs::remove_all(folder);
}

}  // namespace
}  // namespace velmora::vpn
