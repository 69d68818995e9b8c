#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "backend/singbox_in_process_backend.h"
#include "pipe_client.h"
#include "support/fake_backend.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/wait_until.h"
#include "support/well_formed.h"

namespace velmora::vpn {
namespace {

using ::testing::HasSubstr;

std::string startRequest(const std::string& standin, std::uint16_t port, std::uint32_t owner = 0) {
    std::string config = R"({\"standin\":{)" + standin + R"(},\"inbounds\":[{\"listen_port\":)" +
                         std::to_string(port) + "}]}";
    return R"({"command":"start","payload":{"config":")" + config + R"(","ownerProcessId":)" +
           std::to_string(owner) + "}}";
}

// Pings from several clients for as long as the guard lives; counts what comes back.
class Traffic {
public:
    explicit Traffic(std::wstring pipe, int clients = 8) {
        // Short waits: once the server stops, a client gives up quickly.
        for (int c = 0; c < clients; ++c) {
            running_.push_back(std::async(std::launch::async, [this, pipe] {
                while (!stop_) {
                    const auto exchange = velmora::client::sendRequest(pipe, R"({"command":"ping"})",
                                                                       std::chrono::milliseconds(1000));
                    if (exchange.delivered && testing::wellFormedResponse(exchange.response)) {
                        ++answered_;
                    } else if (exchange.delivered) {
                        ++malformed_;
                    } else {
                        ++undelivered_;
                    }
                }
            }));
        }
    }
    ~Traffic() { finish(); }
    void finish() {
        stop_ = true;
        for (auto& client : running_) client.get();
        running_.clear();
    }
    long answered() const { return answered_; }
    long malformed() const { return malformed_; }
    long undelivered() const { return undelivered_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> answered_{0};
    std::atomic<long> malformed_{0};
    std::atomic<long> undelivered_{0};
    std::vector<std::future<void>> running_;
};

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

TEST_F(FaultsUnderLoad, OwnersKilledMidRunHaveTheirInstancesStopped) {
    Traffic traffic(running->pipeName());
    std::vector<std::unique_ptr<testing::ChildProcess>> owners;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < 6; ++i) {
        owners.push_back(std::make_unique<testing::ChildProcess>());
        ports.push_back(testing::freeTcpPort());
        const auto started = send(startRequest("", ports.back(), owners.back()->id()));
        ASSERT_THAT(started.response, HasSubstr(R"("ok":true)")) << started.response;
    }
    for (auto& owner : owners) owner->kill();
    EXPECT_TRUE(testing::waitUntil([&] { return running->server().watchedOwners().empty(); }));
    for (const std::uint16_t port : ports) EXPECT_FALSE(testing::tcpPortAccepts(port));
    traffic.finish();
    EXPECT_GT(traffic.answered(), 0);
    EXPECT_EQ(traffic.malformed() + traffic.undelivered(), 0);
}

TEST_F(FaultsUnderLoad, AnEngineThatRefusesStopsAndOneSlowToComeUpHoldNobodyElseUp) {
    Traffic traffic(running->pipeName());
    const std::uint16_t stubborn = testing::freeTcpPort();
    const std::string started = send(startRequest(R"(\"stopResult\":5,\"stopRefusals\":1000)", stubborn)).response;
    ASSERT_THAT(started, HasSubstr(R"("ok":true)"));
    const std::string id = started.substr(started.find("instanceId") + 12, started.find('}') - started.find("instanceId") - 12);
    for (int i = 0; i < 3; ++i) {
        EXPECT_THAT(send(R"({"command":"stop","payload":{"instanceId":)" + id + "}}").response,
                    HasSubstr("StopSingBoxInstance failed. Result: 5"));
    }
    const long before = traffic.answered();
    const auto slow = send(startRequest(R"(\"startDelayMs\":800)", testing::freeTcpPort()));
    EXPECT_THAT(slow.response, HasSubstr(R"("ok":true)"));
    EXPECT_GT(traffic.answered(), before);  // pings kept flowing while the start waited

    EXPECT_THAT(send(R"({"command":"stopAll"})").response, HasSubstr(R"("ok":true)"));
    EXPECT_FALSE(testing::tcpPortAccepts(stubborn));
    traffic.finish();
    EXPECT_EQ(traffic.malformed() + traffic.undelivered(), 0);
}

TEST_F(FaultsUnderLoad, AStopInTheMiddleOfTrafficEndsCleanlyAndLeavesNoInstance) {
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < 4; ++i) {
        ports.push_back(testing::freeTcpPort());
        ASSERT_THAT(send(startRequest("", ports.back())).response, HasSubstr(R"("ok":true)"));
    }
    {
        Traffic traffic(running->pipeName(), 16);
        ASSERT_TRUE(testing::waitUntil([&] { return traffic.answered() > 50; }));
        running->stop();  // run returns while clients keep coming
        traffic.finish();
        // Every client got its answer or found the pipe closed; none got garbage.
        EXPECT_EQ(traffic.malformed(), 0);
    }
    EXPECT_EQ(logs.lines().back(), "Named pipe server stopped");
    backend.stopAllInstances();  // what the runtime does next
    for (const std::uint16_t port : ports) EXPECT_FALSE(testing::tcpPortAccepts(port));
}

}  // namespace
}  // namespace velmora::vpn
