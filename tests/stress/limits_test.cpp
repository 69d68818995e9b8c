// What a local client that does not behave can cost the service: memory,
// threads, time and log, each bounded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "pipe_client.h"
#include "platform/text.h"
#include "protocol/pipe_framing.h"
#include "runtime/service_host.h"
#include "support/mock_backend.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/traffic.h"
#include "support/wait_until.h"

namespace velmora::vpn {
namespace {

using Clock = std::chrono::steady_clock;
using Connections = std::vector<std::unique_ptr<velmora::client::ClientConnection>>;
const std::string kPing = testing::pingRequest(1);

// Under Wine every connection and thread costs milliseconds: smaller numbers there.
bool underWine() { return serviceManagerAvailable(); }

Connections openSilent(const std::wstring& pipe, int count, const std::string& firstBytes = "") {
    Connections held;
    for (int i = 0; i < count; ++i) {
        held.push_back(std::make_unique<velmora::client::ClientConnection>());
        std::string error;
        EXPECT_TRUE(held.back()->connect(pipe, std::chrono::milliseconds(30000), error)) << error;
        if (!firstBytes.empty()) writeExact(held.back()->handle(), firstBytes.data(), firstBytes.size(), error);
    }
    return held;
}

// True once the server has closed the connection: a read ends.
bool closedByServer(velmora::client::ClientConnection& connection) {
    connection.limitIo(std::chrono::milliseconds(10000));
    char byte = 0;
    std::string error;
    return !readExact(connection.handle(), &byte, 1, error);
}

class Limits : public ::testing::Test {
protected:
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    PipeServerSettings settings = [] {
        PipeServerSettings fast = testing::fastSettings();
        fast.requestDeadline = std::chrono::milliseconds(500);
        return fast;
    }();
};

TEST_F(Limits, AnnouncedButUnsentBodiesCostAlmostNoMemory) {
    testing::RunningServer running(backend, logs.callback(), settings);
    const auto before = testing::processResources();
    const Connections held = openSilent(running.pipeName(), 40, std::string("\x00\x00\x00\x01", 4));  // 16 MiB each
    EXPECT_EQ(velmora::client::sendRequest(running.pipeName(), kPing).response, testing::pingAnswer(1));
    EXPECT_LT(testing::processResources().residentBytes, before.residentBytes + 64u * 1024 * 1024);
}

TEST_F(Limits, SilentClientsBeyondTheCapAreClosedAtTheirDeadlineAndHoldNobodyUp) {
    settings.maxClients = underWine() ? 16 : 64;
    const int silent = underWine() ? 40 : 150;
    testing::RunningServer running(backend, logs.callback(), settings);
    ASSERT_EQ(velmora::client::sendRequest(running.pipeName(), kPing).response, testing::pingAnswer(1));
    const auto baseline = testing::processResources();

    auto held = std::async(std::launch::async, [&] { return openSilent(running.pipeName(), silent); });
    // Sent after the silent ones: answered once deadlines have made room.
    const auto rounds = (silent + 1 + settings.maxClients - 1) / settings.maxClients;
    const auto limit = settings.requestDeadline * rounds + std::chrono::seconds(2);
    EXPECT_EQ(velmora::client::sendRequest(running.pipeName(), kPing, limit).response, testing::pingAnswer(1));
    Connections connections = held.get();
    for (auto& connection : connections) EXPECT_TRUE(closedByServer(*connection));
    connections.clear();
    EXPECT_TRUE(testing::waitUntil([&] {
        const auto now = testing::processResources();
        return now.threads <= baseline.threads && now.handles <= baseline.handles;
    }));
    EXPECT_THAT(logs.lines(), ::testing::Contains("Client sent no complete request within 500 ms"));
}

TEST_F(Limits, AnOrderlyStopWaitsForSilentClientsAtMostTheirDeadline) {
    settings.clientWaitLimit = std::chrono::milliseconds(60000);
    auto running = std::make_unique<testing::RunningServer>(backend, logs.callback(), settings);
    const Connections held = openSilent(running->pipeName(), 5);
    EXPECT_EQ(velmora::client::sendRequest(running->pipeName(), kPing).response, testing::pingAnswer(1));
    auto stopped = std::async(std::launch::async, [&] { running->stop(); });
    EXPECT_EQ(stopped.wait_for(settings.requestDeadline + std::chrono::seconds(2)), std::future_status::ready);
}

TEST_F(Limits, AConnectAndCloseFloodBarelyGrowsTheLog) {
    testing::RunningServer running(backend, logs.callback());
    testing::Traffic honest(running.pipeName(), 2, std::chrono::milliseconds(30000));
    std::atomic<bool> flooding{true};
    std::vector<std::future<long>> flooders;
    for (int i = 0; i < 4; ++i) {
        flooders.push_back(std::async(std::launch::async, [&] {
            long connections = 0;
            while (flooding) {
                velmora::client::ClientConnection dropped;
                std::string error;
                connections += dropped.connect(running.pipeName(), std::chrono::milliseconds(1000), error) ? 1 : 0;
            }
            return connections;
        }));
    }
    std::this_thread::sleep_until(Clock::now() + std::chrono::seconds(underWine() ? 3 : 10));  // the flood's length
    flooding = false;
    long connections = 0;
    for (auto& flooder : flooders) connections += flooder.get();
    honest.finish();
    running.stop();
    const auto lines = logs.lines();
    const std::size_t bytes =
        std::accumulate(lines.begin(), lines.end(), std::size_t{0},
                        [](std::size_t sum, const std::string& line) { return sum + line.size() + 21; });
    std::printf("%ld connections dropped, %zu log lines, %zu bytes\n", connections, lines.size(), bytes);
    EXPECT_GT(connections, 100);
    EXPECT_LT(bytes, 100u * 1024);
    // It kept answering; under a flood an honest client may wait its turn,
    // but never gets a wrong answer.
    EXPECT_GT(honest.answered(), 0);
    EXPECT_EQ(honest.wrong(), 0);
}

}  // namespace
}  // namespace velmora::vpn
