#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "backend/singbox_in_process_backend.h"
#include "pipe_client.h"
#include "support/mock_backend.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/wait_until.h"
#include "support/traffic.h"

namespace velmora::vpn {
namespace {

class FaultsUnderLoad : public ::testing::Test {
protected:
    SingBoxInProcessBackend backend;
    testing::LogRecorder logs;
    std::unique_ptr<testing::RunningServer> running =
        std::make_unique<testing::RunningServer>(backend, logs.callback());

    velmora::client::Exchange send(const std::string& request) {
        return velmora::client::sendRequest(running->pipeName(), request);
    }
};

TEST_F(FaultsUnderLoad, AnEngineThatRefusesStopsAndOneSlowToComeUpHoldNobodyElseUp) {
    testing::Traffic traffic(running->pipeName());
    const std::uint16_t stubborn = testing::freeTcpPort();
    const std::string started =
        send(testing::startRequest(R"(\"stopResult\":5,\"stopRefusals\":1000)", stubborn)).response;
    const std::int32_t id = testing::startedId(started);
    ASSERT_GE(id, 0) << started;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(send(R"({"command":"stop","payload":{"instanceId":)" + std::to_string(id) + "}}").response,
                  testing::errorAnswer("StopSingBoxInstance failed. Result: 5"));
    }
    // A start that takes long to come up holds up only its own client: pings
    // keep being answered while it waits, until a stop-all catches it.
    const long before = traffic.answered();
    auto slow = std::async(std::launch::async,
                           [&] { return send(testing::startRequest(R"(\"startDelayMs\":60000)", 0)).response; });
    EXPECT_TRUE(testing::waitUntil([&] { return traffic.answered() > before + 20; }, std::chrono::milliseconds(20000)));
    EXPECT_EQ(slow.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    while (slow.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        EXPECT_EQ(send(R"({"command":"stopAll"})").response, testing::okAnswer("{}"));
    }
    EXPECT_EQ(slow.get(), testing::errorAnswer("sing-box did not come up. State: 0"));

    EXPECT_EQ(send(R"({"command":"stopAll"})").response, testing::okAnswer("{}"));
    EXPECT_FALSE(testing::tcpPortAccepts(stubborn));
    traffic.finish();
    EXPECT_EQ(traffic.wrong() + traffic.undelivered(), 0);
}

TEST_F(FaultsUnderLoad, StopAllsRacingStartsAreEachAnsweredAndLeaveNothingRunning) {
    // Real clients start instances while another stops everything again and
    // again; a stop-all that waited for an instance it never stopped would
    // leave its client without an answer.
    constexpr auto kTimeout = std::chrono::milliseconds(3000);
    std::atomic<bool> starting{true};
    std::vector<std::future<void>> starters;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < 4; ++i) {
        ports.push_back(testing::freeTcpPort());
        starters.push_back(std::async(std::launch::async, [&, port = ports.back()] {
            while (starting)
                velmora::client::sendRequest(running->pipeName(), testing::startRequest("", port), kTimeout);
        }));
    }
    for (int i = 0; i < 100; ++i) {
        const auto stopped = velmora::client::sendRequest(running->pipeName(), R"({"command":"stopAll"})", kTimeout);
        ASSERT_EQ(stopped.response, testing::okAnswer("{}")) << "stop-all " << i << ": " << stopped.error;
    }
    starting = false;
    for (auto& starter : starters) starter.get();
    EXPECT_EQ(send(R"({"command":"stopAll"})").response, testing::okAnswer("{}"));
    for (const std::uint16_t port : ports) EXPECT_FALSE(testing::tcpPortAccepts(port));
}

TEST_F(FaultsUnderLoad, AStopInTheMiddleOfTrafficEndsCleanlyAndLeavesNoInstance) {
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < 4; ++i) {
        ports.push_back(testing::freeTcpPort());
        ASSERT_GE(testing::startedId(send(testing::startRequest("", ports.back())).response), 0);
    }
    {
        testing::Traffic traffic(running->pipeName(), 16,
                                 std::chrono::milliseconds(1000));  // gives up soon once the server stops
        ASSERT_TRUE(testing::waitUntil([&] { return traffic.answered() > 50; }));
        running->stop();  // run returns while clients keep coming
        traffic.finish();
        // Every client got its own answer or found the pipe closed; none got garbage.
        EXPECT_EQ(traffic.wrong(), 0);
    }
    EXPECT_EQ(logs.lines().back(), "Named pipe server stopped");
    backend.stopAllInstances();  // what the runtime does next
    for (const std::uint16_t port : ports) EXPECT_FALSE(testing::tcpPortAccepts(port));
}

}  // namespace
}  // namespace velmora::vpn
