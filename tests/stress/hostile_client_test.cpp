#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "pipe_client.h"
#include "support/mock_backend.h"
#include "support/running_server.h"
#include "support/traffic.h"
#include "support/wait_until.h"
#include "protocol/pipe_framing.h"

namespace velmora::vpn {
namespace {

// Peers that misbehave in every way a frame allows, all at once; honest
// clients pinging through the attack must each get their own answer.
TEST(HostileClients, CostOnlyTheirOwnConnections) {
    testing::FakeBackend backend;
    backend.expectNoCalls();
    testing::LogRecorder logs;
    PipeServerSettings settings = testing::fastSettings();
    settings.connectionLinesPerSecond = 100000;  // every line counted below
    testing::RunningServer running(backend, logs.callback(), settings);
    const std::wstring pipe = running.pipeName();
    testing::Traffic honest(pipe, 4);

    std::vector<std::unique_ptr<velmora::client::ClientConnection>> held;
    auto open = [&] {
        auto connection = std::make_unique<velmora::client::ClientConnection>();
        std::string error;
        EXPECT_TRUE(connection->connect(pipe, std::chrono::milliseconds(5000), error)) << error;
        return connection;
    };
    std::string error;
    for (int i = 0; i < 8; ++i) {
        // A 16 MiB body announced and never sent, and a length above the limit.
        held.push_back(open());
        const unsigned char huge[4] = {0x00, 0x00, 0x00, 0x01};
        writeExact(held.back()->handle(), huge, 4, error);
        held.push_back(open());
        const unsigned char tooLarge[4] = {0x01, 0x00, 0x00, 0x01};
        writeExact(held.back()->handle(), tooLarge, 4, error);
        // Half a frame, then silence.
        held.push_back(open());
        const unsigned char half[6] = {40, 0, 0, 0, '{', '"'};
        writeExact(held.back()->handle(), half, 6, error);
    }
    // Slow writers: one byte now and then.
    std::atomic<bool> stop{false};
    std::vector<std::future<void>> slow;
    for (int i = 0; i < 4; ++i) {
        slow.push_back(std::async(std::launch::async, [&] {
            auto connection = open();
            const std::string frame = std::string("\x12\0\0\0", 4) + R"({"command":"ping"})";
            std::string ignored;
            for (std::size_t at = 0; at < frame.size() && !stop; ++at) {
                writeExact(connection->handle(), frame.data() + at, 1, ignored);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }));
    }
    // Hundreds of connections opened and dropped.
    for (int i = 0; i < 300; ++i) open();

    const long answeredBefore = honest.answered();
    ASSERT_TRUE(
        testing::waitUntil([&] { return honest.answered() > answeredBefore + 20; }, std::chrono::milliseconds(20000)));
    honest.finish();
    EXPECT_EQ(honest.wrong() + honest.undelivered(), 0);

    stop = true;
    for (auto& writer : slow) writer.get();
    held.clear();
    running.stop();
    const auto lines = logs.lines();
    // Each length above the limit costs one line; 16 MiB itself is allowed.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Pipe message is too large"), 8);
    EXPECT_EQ(lines.back(), "Named pipe server stopped");
}

}  // namespace
}  // namespace velmora::vpn
