// What a local client that does not behave can cost the service: memory,
// threads, time and log, each bounded, while honest clients keep getting
// their own answers.
#include "support/prelude.h"

#include "platform/process_memory.h"
#include "runtime/service_host.h"

namespace velmora::vpn {
namespace {

using Connections = std::vector<std::unique_ptr<ClientConnection>>;
const std::string kPing = testing::pingRequest(1);

// Under Wine every connection and thread costs milliseconds: smaller numbers there.
const bool underWine = serviceManagerAvailable();

// Connections that send `firstBytes` (perhaps nothing) and then stay silent;
// large first bytes are sent from a thread each, as a write may wait for the
// server to read them.
void openSilent(Connections& held, const std::wstring& pipe, int count, const std::string& firstBytes = "") {
    std::vector<std::future<std::unique_ptr<ClientConnection>>> opening;
    for (int i = 0; i < count; ++i) {
        opening.push_back(std::async(firstBytes.size() > 65536 ? std::launch::async : std::launch::deferred, [&] {
            auto connection = std::make_unique<ClientConnection>();
            std::string error;
            EXPECT_TRUE(connection->connect(pipe, milliseconds(30000), error)) << error;
            if (!firstBytes.empty()) writeExact(connection->handle(), firstBytes.data(), firstBytes.size(), error);
            return connection;
        }));
    }
    for (auto& connection : opening) held.push_back(connection.get());
}

class Limits : public ::testing::Test {
protected:
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    PipeServerSettings settings = testing::fastSettings();
};

// Clients that send nothing, and clients that never take their answers (too
// large for what the system buffers; under Windows any answer at all), hold
// their connections only until the deadline: beyond the cap they wait their
// turn, honest clients are answered, nothing is left behind, and an orderly
// stop waits for such clients no longer than the deadline.
TEST_F(Limits, ClientsThatSendOrTakeNothingAreCutOffAtTheDeadline) {
    settings.requestDeadline = milliseconds(500);
    settings.maxClients = underWine ? 16 : 64;
    settings.clientWaitLimit = milliseconds(60000);
    settings.connectionLinesPerSecond = 100000;  // every line looked for below
    const int hogs = underWine ? 40 : 150;
    auto running = std::make_unique<testing::RunningServer>(backend, logs.callback(), settings);
    const std::wstring pipe = running->pipeName();
    ASSERT_EQ(sendRequest(pipe, kPing).response, testing::pingAnswer(1));
    const auto baseline = testing::processResources();
    const std::string unread =
        testing::frame(R"({"command":"ping","requestId":")" + std::string(512 * 1024, 'x') + "\"}");
    const std::pair<std::string, std::string> kinds[] = {{"", "Client sent no complete request within 500 ms"},
                                                         {unread, "Client took no answer within 500 ms"}};
    for (const auto& [firstBytes, line] : kinds) {
        Connections held;
        auto opening = std::async(std::launch::async, [&] { openSilent(held, pipe, hogs, firstBytes); });
        // Sent after the hogs: answered once deadlines have made room.
        const auto rounds = (hogs + 1 + settings.maxClients - 1) / settings.maxClients;
        EXPECT_EQ(sendRequest(pipe, kPing, settings.requestDeadline * rounds + std::chrono::seconds(2)).response,
                  testing::pingAnswer(1));
        opening.get();
        for (auto& connection : held) {      // each silent one is closed by the server
            if (!firstBytes.empty()) break;  // (reading the others would take their answers)
            connection->limitIo(milliseconds(10000));
            std::string answer, error;
            EXPECT_FALSE(readMessage(connection->handle(), answer, error));
        }
        held.clear();
        EXPECT_TRUE(testing::waitUntil([&] {
            const auto now = testing::processResources();
            return now.threads <= baseline.threads && now.handles <= baseline.handles;
        }));
        EXPECT_THAT(logs.lines(), Contains(line));
    }
    Connections held;
    openSilent(held, pipe, 5);
    openSilent(held, pipe, 5, unread);
    EXPECT_EQ(sendRequest(pipe, kPing).response, testing::pingAnswer(1));
    auto stopped = std::async(std::launch::async, [&] { running->stop(); });
    EXPECT_EQ(stopped.wait_for(settings.requestDeadline + std::chrono::seconds(2)), std::future_status::ready);
}

// Peers that misbehave in every way a frame allows, all at once, cost only
// their own connections, and announced bodies cost no memory until they come.
TEST_F(Limits, HostileClientsCostOnlyTheirOwnConnections) {
    backend.expectNoCalls();
    settings.connectionLinesPerSecond = 100000;  // every line counted below
    testing::RunningServer running(backend, logs.callback(), settings);
    const std::wstring pipe = running.pipeName();
    ASSERT_EQ(sendRequest(pipe, kPing).response, testing::pingAnswer(1));
    const auto before = testing::processResources();
    Connections held;
    openSilent(held, pipe, 24, std::string("\x00\x00\x00\x01", 4));        // 16 MiB announced, never sent
    EXPECT_EQ(sendRequest(pipe, kPing).response, testing::pingAnswer(1));  // the earlier ones are being read
    EXPECT_LT(testing::processResources().residentBytes, before.residentBytes + 64u * 1024 * 1024);
    // Under attack an honest client may wait its turn, but never goes unanswered.
    constexpr milliseconds kPatience(30000);
    testing::Traffic honest(pipe, 4, kPatience);
    openSilent(held, pipe, 8, std::string("\x01\x00\x00\x01", 4));  // above the limit
    openSilent(held, pipe, 8, std::string("\x28\0\0\0{\"", 6));     // half a frame, then silence
    // Slow writers, one byte every 20 ms, still get their answers.
    testing::Traffic slow(pipe, 4, kPatience, [&](int, long) {
        ClientConnection connection;
        std::string error, answer;
        const std::string frame = std::string("\x12\0\0\0", 4) + R"({"command":"ping"})";
        if (!connection.connect(pipe, kPatience, error)) return Outcome::undelivered;
        for (const char byte : frame) {
            writeExact(connection.handle(), &byte, 1, error);
            std::this_thread::sleep_for(milliseconds(20));
        }
        if (!readMessage(connection.handle(), answer, error)) return Outcome::undelivered;
        return answer == testing::okAnswer(R"({"status":"ok"})") ? Outcome::answered : Outcome::wrong;
    });
    Connections dropped;
    openSilent(dropped, pipe, underWine ? 30 : 300);  // connections opened and dropped
    dropped.clear();

    ASSERT_TRUE(honest.answersMore(20));
    honest.finish();
    slow.finish();
    EXPECT_EQ(honest.wrong() + honest.undelivered() + slow.wrong() + slow.undelivered(), 0);
    EXPECT_GT(slow.answered(), 0);
    held.clear();
    running.stop();
    const auto lines = logs.lines();
    // Each length above the limit costs one line; 16 MiB itself is allowed.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Pipe message is too large"), 8);
    EXPECT_EQ(lines.back(), "Named pipe server stopped");
}

// Bodies of the largest size that expand in the parser (zeros in an array),
// from several clients at once, cost the service bounded memory: each gets
// an error answer or its connection closed, and honest clients are served.
TEST_F(Limits, BodiesThatExpandInTheParserKeepMemoryBounded) {
    platform::returnLargeFreedMemory();  // as the runtime does at start
    testing::RunningServer running(backend, logs.callback(), settings);
    const std::wstring pipe = running.pipeName();
    std::string body = R"({"command":"ping","x":[0)";
    while (body.size() < kMaxPipeMessageSize - 4) body += ",0";
    const std::string frame = testing::frame(body + "]}");
    testing::Traffic expanding(pipe, 8, milliseconds(30000), [&](int, long) {
        ClientConnection connection;
        std::string error, answer;
        connection.connect(pipe, milliseconds(30000), error);
        writeExact(connection.handle(), frame.data(), frame.size(), error);
        readMessage(connection.handle(), answer, error);
        const bool refused = answer.empty() || answer == testing::errorAnswer("Request needs too much memory to parse");
        return refused ? Outcome::answered : Outcome::wrong;
    });
    std::size_t peak = 0;
    EXPECT_TRUE(testing::waitUntil(
        [&] { return (peak = std::max(peak, testing::processResources().residentBytes), expanding.answered() >= 16); },
        milliseconds(90000)));
    EXPECT_EQ(sendRequest(pipe, kPing).response, testing::pingAnswer(1));  // while they go on
    expanding.finish();
    EXPECT_EQ(expanding.wrong(), 0);
#if !defined(VELMORA_SANITIZED_BUILD)  // sanitizer runtimes hold freed memory back on purpose
    EXPECT_LT(peak, 512u * 1024 * 1024);
#endif
}

}  // namespace
}  // namespace velmora::vpn
