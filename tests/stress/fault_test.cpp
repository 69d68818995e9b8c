#include "support/prelude.h"

#include "backend/singbox_in_process_backend.h"

namespace velmora::vpn {
namespace {

const std::string kStopAll = R"({"command":"stopAll"})";

class FaultsUnderLoad : public ::testing::Test {
protected:
    SingBoxInProcessBackend backend;
    testing::RunningServer running{backend, {}};
    const std::wstring pipe = running.pipeName();
    std::vector<std::uint16_t> ports = {testing::freeTcpPort(), testing::freeTcpPort(), testing::freeTcpPort(),
                                        testing::freeTcpPort()};

    std::string send(const std::string& request) { return sendRequest(pipe, request).response; }
    bool nothingListens() {
        for (const std::uint16_t port : ports)
            if (testing::tcpPortAccepts(port)) return false;
        return true;
    }
};

TEST_F(FaultsUnderLoad, AnEngineThatRefusesStopsAndOneSlowToComeUpHoldNobodyElseUp) {
    testing::Traffic traffic(pipe);
    const std::string started = send(testing::startRequest(R"(\"stopResult\":5,\"stopRefusals\":1000)", ports[0]));
    const std::int32_t id = testing::startedId(started);
    ASSERT_GE(id, 0) << started;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(send(R"({"command":"stop","payload":{"instanceId":)" + std::to_string(id) + "}}"),
                  testing::errorAnswer("StopSingBoxInstance failed. Result: 5"));
    }
    // A start that takes long to come up holds up only its own client: pings
    // keep being answered while it waits, until a stop-all catches it.
    auto slow =
        std::async(std::launch::async, [&] { return send(testing::startRequest(R"(\"startDelayMs\":60000)", 0)); });
    EXPECT_TRUE(traffic.answersMore(20));
    EXPECT_EQ(slow.wait_for(milliseconds(0)), std::future_status::timeout);
    while (slow.wait_for(milliseconds(10)) != std::future_status::ready)
        EXPECT_EQ(send(kStopAll), testing::okAnswer("{}"));
    EXPECT_EQ(slow.get(), testing::errorAnswer("sing-box did not come up. State: 0"));
    EXPECT_EQ(send(kStopAll), testing::okAnswer("{}"));
    EXPECT_TRUE(nothingListens());
    traffic.finish();
    EXPECT_EQ(traffic.wrong() + traffic.undelivered(), 0);
}

// Real clients start instances while another stops everything again and
// again; a stop-all that waited for an instance it never stopped would leave
// its client without an answer.
TEST_F(FaultsUnderLoad, StopAllsRacingStartsAreEachAnsweredAndLeaveNothingRunning) {
    constexpr auto kTimeout = milliseconds(3000);
    testing::Traffic starters(pipe, 4, kTimeout, [&](int client, long) {
        sendRequest(pipe, testing::startRequest("", ports[client]), kTimeout);
        return Outcome::answered;
    });
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(sendRequest(pipe, kStopAll, kTimeout).response, testing::okAnswer("{}")) << "stop-all " << i;
    starters.finish();
    EXPECT_EQ(send(kStopAll), testing::okAnswer("{}"));
    EXPECT_TRUE(nothingListens());
}

}  // namespace
}  // namespace velmora::vpn
