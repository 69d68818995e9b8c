#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "pipe_client.h"
#include "support/mock_backend.h"
#include "support/running_server.h"
#include "support/wait_until.h"
#include "protocol/pipe_framing.h"

namespace velmora::vpn {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::RunningServer;

constexpr auto kTimeout = std::chrono::milliseconds(5000);
const std::string kPing = R"({"command":"ping"})";
const std::string kPong = R"({"version":1,"ok":true,"payload":{"status":"ok"}})";

class PipeServer : public ::testing::Test {
protected:
    testing::FakeBackend backend;
    testing::LogRecorder logs;

    std::unique_ptr<velmora::client::ClientConnection> connect(const RunningServer& running) {
        auto connection = std::make_unique<velmora::client::ClientConnection>();
        std::string error;
        EXPECT_TRUE(connection->connect(running.pipeName(), kTimeout, error)) << error;
        connection->limitIo(kTimeout);
        return connection;
    }
    bool logged(const std::string& text) {
        return testing::waitUntil([&] {
            for (const std::string& line : logs.lines())
                if (line.find(text) != std::string::npos) return true;
            return false;
        });
    }
};

TEST_F(PipeServer, AnswersOneFrameAndNeverASecondOnTheSameConnection) {
    RunningServer running(backend, logs.callback());
    auto connection = connect(running);
    std::string error;
    ASSERT_TRUE(writeMessage(connection->handle(), kPing.data(), kPing.size(), error)) << error;
    std::string response;
    ASSERT_TRUE(readMessage(connection->handle(), response, error)) << error;
    EXPECT_EQ(response, kPong);

    // The server has disconnected: a second request gets no answer.
    writeMessage(connection->handle(), kPing.data(), kPing.size(), error);
    EXPECT_FALSE(readMessage(connection->handle(), response, error));
    EXPECT_EQ(response, kPong);
}

// Client threads run on small fixed stacks: the deepest request the parser
// accepts (32 levels) in the largest frame (16 MiB) must still fit.
TEST_F(PipeServer, TheDeepestAndLargestRequestIsServedOnAClientThreadsSmallStack) {
    RunningServer running(backend, logs.callback());
    const std::string id = std::string(31, '[') + "7" + std::string(31, ']');  // inside the request: 32 levels
    std::string request = R"({"command":"start","requestId":)" + id + R"(,"payload":{"config":")";
    request += std::string(16 * 1024 * 1024 - request.size() - 3, 'x') + "\"}}";
    ASSERT_EQ(request.size(), 16u * 1024 * 1024);
    EXPECT_EQ(velmora::client::sendRequest(running.pipeName(), request, kTimeout).response,
              R"({"version":1,"requestId":)" + id + R"(,"ok":true,"payload":{"instanceId":0}})");
}

TEST_F(PipeServer, AFrameDeliveredInPiecesIsAssembled) {
    RunningServer running(backend, logs.callback());
    auto connection = connect(running);
    std::string error;
    const unsigned char header[4] = {static_cast<unsigned char>(kPing.size()), 0, 0, 0};
    ASSERT_TRUE(writeExact(connection->handle(), header, 3, error));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(writeExact(connection->handle(), header + 3, 1, error));
    ASSERT_TRUE(writeExact(connection->handle(), kPing.data(), 3, error));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(writeExact(connection->handle(), kPing.data() + 3, kPing.size() - 3, error));
    std::string response;
    ASSERT_TRUE(readMessage(connection->handle(), response, error)) << error;
    EXPECT_EQ(response, kPong);
}

TEST_F(PipeServer, AStopEndsRunAndLeavesNoPipeWhetherRaisedBeforeOrWhileIdle) {
    SingBoxNamedPipeServer early(testing::uniquePipeName(), backend, logs.callback(), testing::fastSettings());
    std::atomic<bool> stop{true};
    early.run(stop);
    EXPECT_THAT(logs.lines(), ElementsAre("Named pipe server starting", "Named pipe server stopped"));

    auto running = std::make_unique<RunningServer>(backend, logs.callback());
    EXPECT_EQ(velmora::client::sendRequest(running->pipeName(), kPing, kTimeout).response, kPong);
    running->stop();
    EXPECT_EQ(logs.lines().back(), "Named pipe server stopped");
    for (const std::wstring& name : {early.pipeName(), running->pipeName()}) {
        velmora::client::ClientConnection connection;
        std::string error;
        EXPECT_FALSE(connection.connect(name, std::chrono::milliseconds(0), error));
    }
}

// Once the stop is seen nobody new gets in, even while run still waits for
// the clients it has.
TEST_F(PipeServer, AStopClosesTheEndpointAtOnceWhileClientsAreStillServed) {
    PipeServerSettings settings = testing::fastSettings();
    settings.clientWaitLimit = std::chrono::milliseconds(20000);
    RunningServer running(backend, logs.callback(), settings);
    auto silent = connect(running);
    EXPECT_EQ(velmora::client::sendRequest(running.pipeName(), kPing, kTimeout).response, kPong);
    std::thread stopping([&] { running.stop(); });
    EXPECT_TRUE(testing::waitUntil([&] {
        velmora::client::ClientConnection late;
        std::string error;
        return !late.connect(running.pipeName(), std::chrono::milliseconds(0), error);
    }));
    silent.reset();  // the last client goes, and run returns
    stopping.join();
    EXPECT_EQ(logs.lines().back(), "Named pipe server stopped");
}

// The client checks who serves the pipe before it sends anything. This
// server runs as the test's own user: accepted as such, and refused, with
// nothing sent, by a client that trusts nobody.
TEST_F(PipeServer, TheClientSendsOnlyToAServerOfATrustedIdentity) {
    backend.expectNoCalls();
    RunningServer running(backend, logs.callback());
    velmora::client::ClientConnection accepted;
    std::string error;
    EXPECT_TRUE(accepted.connect(running.pipeName(), kTimeout, error, {false, true})) << error;
    velmora::client::ClientConnection refused;
    EXPECT_FALSE(refused.connect(running.pipeName(), kTimeout, error, {false, false}));
    EXPECT_THAT(error, HasSubstr(": refusing to send it anything"));
}

// A client that stays silent through shutdown: run gives up on it after the
// client wait, the server and the backend are destroyed, and the client's
// thread, once its client finally speaks, touches none of them (the
// AddressSanitizer build would report it).
TEST(PipeServerShutdown, ClientsOutlivingRunGetNoAnswerStartNothingAndTouchNothingFreed) {
    auto backend = std::make_unique<testing::FakeBackend>();
    backend->expectNoCalls();
    auto logs = std::make_unique<testing::LogRecorder>();
    testing::LogRecorder* logView = logs.get();
    PipeServerSettings settings = testing::fastSettings();
    settings.clientWaitLimit = std::chrono::milliseconds(50);
    auto running = std::make_unique<RunningServer>(*backend, logs->callback(), settings);

    velmora::client::ClientConnection silent[2];
    std::string error;
    for (auto& client : silent) {
        ASSERT_TRUE(client.connect(running->pipeName(), kTimeout, error)) << error;
        client.limitIo(kTimeout);
    }
    // Connections are accepted in order: once a later one is answered, the
    // silent ones have been handed to their threads.
    ASSERT_EQ(velmora::client::sendRequest(running->pipeName(), kPing, kTimeout).response, kPong);

    running->stop();
    EXPECT_THAT(logView->lines(), Contains("Timed out waiting for 2 client thread(s)"));
    EXPECT_EQ(logView->lines().back(), "Named pipe server stopped");
    // Run has returned, the server still exists: a late start is neither
    // answered nor passed to the backend.
    const std::string start = R"({"command":"start","payload":{"config":"c"}})";
    std::string response;
    ASSERT_TRUE(writeMessage(silent[0].handle(), start.data(), start.size(), error)) << error;
    EXPECT_FALSE(readMessage(silent[0].handle(), response, error));

    // Now the server and the backend are gone, and the last client speaks.
    running.reset();
    backend.reset();
    logs.reset();
    ASSERT_TRUE(writeMessage(silent[1].handle(), start.data(), start.size(), error)) << error;
    EXPECT_FALSE(readMessage(silent[1].handle(), response, error));
}

TEST_F(PipeServer, AnEndpointThatCannotBeCreatedIsRetriedUntilStop) {
    PipeServerSettings settings = testing::fastSettings();
    RunningServer running(backend, logs.callback(), settings, L"not a pipe name");
    ASSERT_TRUE(testing::waitUntil([&] { return logs.lines().size() >= 4; }));
    running.stop();
    const auto lines = logs.lines();
    EXPECT_EQ(lines.front(), "Named pipe server starting");
    EXPECT_THAT(lines[1], HasSubstr(" failed. "));
    EXPECT_EQ(lines.back(), "Named pipe server stopped");
}

}  // namespace
}  // namespace velmora::vpn
