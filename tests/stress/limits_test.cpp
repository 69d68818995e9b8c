// What a local client that does not behave can cost the service: memory,
// threads, time and log, each bounded, while honest clients keep getting
// their own answers.
#include "support/prelude.h"

#include "platform/process_memory.h"
#include "runtime/service_host.h"
#include "runtime/service_logger.h"

namespace velmora::vpn {
namespace {

using Connections = std::vector<std::unique_ptr<ClientConnection>>;
const std::string kPing = testing::pingRequest(1);

// Under Wine every connection and thread costs milliseconds: smaller numbers there.
const bool underWine = serviceManagerAvailable();

// Connections that send `firstBytes` (perhaps nothing) and then stay silent.
void openSilent(Connections& held, const std::wstring& pipe, int count, const std::string& firstBytes = "") {
    for (int i = 0; i < count; ++i) {
        held.push_back(std::make_unique<ClientConnection>());
        std::string error;
        EXPECT_TRUE(held.back()->connect(pipe, milliseconds(30000), error)) << error;
        if (!firstBytes.empty()) writeExact(held.back()->handle(), firstBytes.data(), firstBytes.size(), error);
    }
}

class Limits : public ::testing::Test {
protected:
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    PipeServerSettings settings = testing::fastSettings();
    // Each attack comes from one user, but the bounds here must hold for as
    // many clients as several users together may send: one user may take
    // every place.
    void SetUp() override {
        settings.maxConnectionsPerUser = settings.maxClients;
        settings.privilegedPlaces = 0;
    }
};

// Clients of another user that send nothing, or never take their answers
// (too large for what the system buffers; under Windows any answer at all),
// hold their connections only until the deadline: an honest client that comes
// after them is answered within it and a second, nothing is left behind once
// they go, and an orderly stop under the attack waits for them no longer than
// the deadline and two seconds.
TEST_F(Limits, ClientsThatSendOrTakeNothingAreCutOffAtTheDeadline) {
    settings.requestDeadline = milliseconds(3000);
    settings.clientWaitLimit = milliseconds(60000);
    settings.connectionLinesPerSecond = 100000;  // every line looked for below
    auto running = std::make_unique<testing::RunningServer>(backend, logs.callback(), settings);
    const std::wstring pipe = running->pipeName();
    ASSERT_EQ(sendRequest(pipe, kPing).response, testing::pingAnswer(1));
    const auto baseline = testing::processResources();
    const auto attack = [&](const char* kind) {
        auto attacker = std::make_unique<testing::OtherUsersProgram>(
            "hostile_attacker",
            std::vector<std::string>{kind, platform::toUtf8(pipe), "64", underWine ? "0" : "230000"});
        // Every one in place (the honest ping's thread may have been on its way out at the baseline).
        EXPECT_TRUE(testing::waitUntil([&] { return testing::processResources().threads >= baseline.threads + 63; }));
        return attacker;
    };
    // Windows has no queue: the silent ones, opened again at once, would race
    // the honest client for the pipe there.
    const std::vector<std::pair<const char*, std::string>> kinds = {
        {"unread", "Client took no answer within 3000 ms"},
        {"silent", "Client sent no complete request within 3000 ms"}};
    for (const auto& [kind, line] : underWine ? decltype(kinds){kinds[0]} : kinds) {
        auto attacker = attack(kind);
        auto honest = std::async(std::launch::async, [&] { return sendRequest(pipe, kPing).response; });
        ASSERT_EQ(honest.wait_for(settings.requestDeadline + std::chrono::seconds(1)), std::future_status::ready);
        EXPECT_EQ(honest.get(), testing::pingAnswer(1));
        EXPECT_TRUE(logs.shows(line));
        attacker.reset();
        EXPECT_TRUE(testing::waitUntil([&] {
            const auto now = testing::processResources();
            return now.threads <= baseline.threads && now.handles <= baseline.handles;
        }));
    }
    const auto attacker = attack("unread");
    auto stopped = std::async(std::launch::async, [&] { running->stop(); });
    EXPECT_EQ(stopped.wait_for(settings.requestDeadline + std::chrono::seconds(2)), std::future_status::ready);
}

// Ordinary users together leave the privileged places free: once two users
// hold all the others, one more connection of theirs is closed with its
// line, and root is still answered at once.
TEST_F(Limits, OrdinaryUsersTogetherLeaveThePrivilegedPlacesFree) {
    if (!testing::canRunAsAnotherUser()) GTEST_SKIP() << "needs root to act as other users";
    settings.maxClients = 12;
    settings.privilegedPlaces = 4;
    settings.maxConnectionsPerUser = 6;
    testing::RunningServer running(backend, logs.callback(), settings);
    const std::string pipe = platform::toUtf8(running.pipeName());
    std::vector<std::unique_ptr<testing::OtherUsersProgram>> holders;
    for (const std::uint32_t uid : {65534u, 65533u})
        holders.push_back(std::make_unique<testing::OtherUsersProgram>(
            "hostile_attacker", std::vector<std::string>{"silent", pipe, "6"}, uid));
    const std::string full = "Ordinary users hold 8 connections already; one more was closed";
    EXPECT_TRUE(logs.shows(full, true));
    EXPECT_EQ(sendRequest(running.pipeName(), kPing, milliseconds(1000)).response, testing::pingAnswer(1));
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
    testing::OtherUsersProgram slow("hostile_attacker", {"slow", platform::toUtf8(pipe), "4", "3"});
    Connections dropped;
    openSilent(dropped, pipe, underWine ? 30 : 300);  // connections opened and dropped
    dropped.clear();

    ASSERT_TRUE(honest.answersMore(20));
    honest.finish();
    EXPECT_EQ(honest.wrong() + honest.undelivered(), 0);
    EXPECT_EQ(slow.process().wait(kPatience).exitCode, 0u);
    held.clear();
    running.stop();
    const auto lines = logs.lines();
    // Each length above the limit costs one line; 16 MiB itself is allowed.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Pipe message is too large"), 8);
    EXPECT_EQ(lines.back(), "Named pipe server stopped");
}

// Bodies of the largest size that expand in the parser (zeros in an array),
// from each of 8 and then 64 clients of another user at once, cost the
// service bounded memory: each gets an error answer or its connection closed,
// and an honest client is served while they go on.
TEST_F(Limits, BodiesThatExpandInTheParserKeepMemoryBounded) {
    platform::returnLargeFreedMemory();             // as the runtime does at start
    settings.requestDeadline = milliseconds(2000);  // those waiting for a place give up sooner
    testing::RunningServer running(backend, logs.callback(), settings);
    const std::wstring pipe = running.pipeName();
    const auto baseline = testing::processResources();
    for (const int clients : underWine ? std::vector{8} : std::vector{8, 64}) {
        testing::OtherUsersProgram attacker("hostile_attacker",
                                            {"expand", platform::toUtf8(pipe), std::to_string(clients), "1"});
        auto ended = std::async(std::launch::async, [&] { return attacker.process().wait(milliseconds(120000)); });
        std::size_t peak = 0;
        bool pinged = false;
        do {
            const auto now = testing::processResources();
            peak = std::max(peak, now.residentBytes);
            if (!pinged && now.threads >= baseline.threads + static_cast<std::size_t>(clients / 4)) {
                EXPECT_EQ(sendRequest(pipe, kPing).response, testing::pingAnswer(1));
                pinged = true;
            }
        } while (ended.wait_for(milliseconds(10)) != std::future_status::ready);
        EXPECT_EQ(ended.get().exitCode, 0u);  // every client done, none left hanging
        EXPECT_TRUE(pinged);
#if !defined(VELMORA_SANITIZED_BUILD)  // sanitizer runtimes hold freed memory back on purpose
        EXPECT_LT(peak, 512u * 1024 * 1024) << clients << " clients";
#endif
    }
}

// For 8 s another user stops an instance nobody runs as fast as it can, and
// two more announce large bodies on every connection they may hold, while
// the log's rotation is blocked (`<name>.1` a folder another user made):
// root's instances start and stop with every line of theirs logged, its
// 70 KB pings are each answered within 2 s, the stops that stopped nothing
// log nothing, and the log starts again rather than pass its cap.
TEST(AnotherUsersFlood, HidesNoneOfRootsLinesTakesNoneOfItsPlacesAndGrowsNoLog) {
    if (!testing::canRunAsAnotherUser()) GTEST_SKIP() << "needs root to act as other users";
    const std::string folder = testing::makeTempFolder("flood");
    const std::string log = folder + "/service.log";
    fs::create_directory(log + ".1");  // whoever made it, no rename replaces it
    constexpr std::uint64_t kCap = 16 * 1024;
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    Lines roots;
    {
        ServiceLogger logger(platform::fromUtf8(log), false, kCap);
        testing::RunningServer running(backend, [&, record = logs.callback()](const std::string& line) {
            record(line);
            logger.log(line);
        });
        const std::wstring pipe = running.pipeName();
        const auto before = testing::processResources().threads;
        std::vector<std::unique_ptr<testing::OtherUsersProgram>> attackers;
        for (const auto& [kind, uid] : {std::pair{"flood", 65534u}, {"announce", 65533u}, {"announce", 65532u}})
            attackers.push_back(std::make_unique<testing::OtherUsersProgram>(
                "hostile_attacker", std::vector<std::string>{kind, platform::toUtf8(pipe), "8", "1000000"}, uid));
        ASSERT_TRUE(testing::waitUntil([&] { return testing::processResources().threads >= before + 16; }));
        const std::string large = R"({"command":"ping","pad":")" + std::string(70 * 1024, 'x') + "\"}";
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
             std::chrono::steady_clock::now() < end;) {
            const std::string id = std::to_string(
                testing::startedId(sendRequest(pipe, R"({"command":"start","payload":{"config":"{}"}})").response));
            EXPECT_EQ(sendRequest(pipe, R"({"command":"stop","payload":{"instanceId":)" + id + "}}").response,
                      testing::okAnswer("{}"));
            roots.insert(roots.end(), {"Started sing-box instance " + id, "Stopped sing-box instance " + id});
            const auto sent = std::chrono::steady_clock::now();
            EXPECT_EQ(sendRequest(pipe, large, milliseconds(2000)).response, testing::okAnswer(R"({"status":"ok"})"));
            EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
        }
        EXPECT_TRUE(logs.shows("more lines about instances of uid 65534 left out"));  // the flood went on
    }
    EXPECT_THAT(logs.lines(), ::testing::IsSupersetOf(roots));
    EXPECT_THAT(logs.lines(), Not(Contains("Stopped sing-box instance 777777")));
    EXPECT_LE(fs::file_size(log), kCap + 64);
    EXPECT_TRUE(fs::is_directory(log + ".1"));
    fs::remove_all(folder);
}

// /etc/subuid for one test, as the system had it again afterwards.
struct SubordinateIds {
    const std::optional<std::string> saved =
        fs::exists("/etc/subuid") ? std::optional(testing::readFile("/etc/subuid")) : std::nullopt;
    const fs::perms mode = saved ? fs::status("/etc/subuid").permissions() : fs::perms(0644);
    explicit SubordinateIds(const std::string& text) {
        std::ofstream("/etc/subuid") << text;
        fs::permissions("/etc/subuid", fs::perms(0644));
    }
    ~SubordinateIds() {
        std::error_code absent;  // as it was before
        saved ? void(std::ofstream("/etc/subuid") << *saved) : void(fs::remove("/etc/subuid"));
        fs::permissions("/etc/subuid", mode, absent);
    }
};

// One person with many user ids is one user: ids /etc/subuid delegates to
// user 65534 share its 8 connections (ten of them holding all they can leave
// another user and root answered at once) and its 16 instances, for as long
// as only root may write the file.
TEST(OnePerson, IsOneUserWhateverIdsItActsAs) {
    if (!testing::canRunAsAnotherUser()) GTEST_SKIP() << "needs root to act as other users";
    const SubordinateIds delegated("65534:100000:65536\nroot:200000:10\n");  // by uid, and by name
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    testing::RunningServer running(backend, logs.callback());
    const std::string pipe = platform::toUtf8(running.pipeName());
    {
        std::vector<std::unique_ptr<testing::OtherUsersProgram>> holders;
        for (std::uint32_t id = 100000; id < 100010; ++id)
            holders.push_back(std::make_unique<testing::OtherUsersProgram>(
                "hostile_attacker", std::vector<std::string>{"silent", pipe, "8"}, id));
        EXPECT_TRUE(logs.shows("User uid 65534 holds 8 connections already; one more was closed", true));
        // Answered within a second of asking (the client's own start, a copy
        // run as that user, is not the service's to answer for).
        EXPECT_THAT(testing::clientAs(65533, {"--pipe-name", pipe, "--timeout", "1000", "ping"}),
                    Ran(0u, HasSubstr(R"("ok":true)"), ""));
        EXPECT_EQ(sendRequest(running.pipeName(), kPing, milliseconds(1000)).response, testing::pingAnswer(1));
    }
    int started = 0;
    const std::vector<std::string> start = {"--pipe-name", pipe, "send",
                                            R"({"command":"start","payload":{"config":"{}"}})"};
    for (std::uint32_t attempt = 0; attempt < 20; ++attempt) {  // four from each of five ids, the last the range's last
        const ProgramRun run = testing::clientAs(attempt < 16 ? 100000 + attempt / 4 : 165535, start);
        started += run.exitCode == 0 ? 1 : 0;
        EXPECT_TRUE(run.exitCode == 0 ||
                    run.output == testing::errorAnswer("Your user runs 16 instances already") + "\n")
            << run.output;
    }
    EXPECT_EQ(started, 16);
    // The id after the range is a user of its own.
    EXPECT_THAT(testing::clientAs(165536, start), Ran(0u, HasSubstr(R"("ok":true)"), ""));
    // Ids delegated to root are users of their own: none of root's instances is theirs.
    const std::string roots = std::to_string(testing::startedId(sendRequest(running.pipeName(), start[3]).response));
    EXPECT_THAT(testing::clientAs(200000, {"--pipe-name", pipe, "stop", roots}),
                Ran(1u, testing::errorAnswer("Instance " + roots + " belongs to another user") + "\n", ""));
    // A file others may write delegates nothing: the id is a user of its own again.
    fs::permissions("/etc/subuid", fs::perms(0664));
    EXPECT_THAT(testing::clientAs(100105, start), Ran(0u, HasSubstr(R"("ok":true)"), ""));
}

}  // namespace
}  // namespace velmora::vpn
