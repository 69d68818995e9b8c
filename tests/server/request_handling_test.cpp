#include "support/prelude.h"

#include <ctime>
#include <stdexcept>
#include <system_error>

#include <boost/json.hpp>

#include "server/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

using testing::errorAnswer;
using testing::okAnswer;

class RequestHandling : public ::testing::Test {
protected:
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    SingBoxNamedPipeServer server{std::wstring{}, backend, logs.callback()};

    std::string handle(const std::string& request) { return server.handleRequest(request); }
};

// Requests the backend never hears of, each with its whole answer.
TEST_F(RequestHandling, BadRequestsAreAnsweredWithoutTheBackend) {
    backend.expectNoCalls();
    EXPECT_EQ(server.pipeName(), L"\\\\.\\pipe\\VelmoraVpnService");  // an empty name is the default
    const std::string pong = R"({"version":1,"ok":true,"payload":{"status":"ok"}})";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"command":"stop","payload":{"instanceId":"3"}})", errorAnswer("Stop command misses instance id")},
        {R"({"command":"restart","requestId":null})",
         R"({"version":1,"requestId":null,"ok":false,"error":{"message":"Unknown command: restart"}})"},
        {"[1,2]", errorAnswer("Request is not an object")},
        {std::string(32, '[') + std::string(32, ']'), errorAnswer("Request is not an object")},  // deepest allowed
        {R"({"command":"Ping"})", errorAnswer("Unknown command: Ping")},
        {R"({"command":"","requestId":1})",
         R"({"version":1,"requestId":1,"ok":false,"error":{"message":"Request command is missing"}})"},
        {R"({"command":5})", errorAnswer("Request command is missing")},
        {R"({"command":"ping\u0000x"})", pong},  // strings end at an escaped NUL
        {R"({"command":"ping","version":99})", pong},
        {R"({"command":"start","payload":"config"})", errorAnswer("Start command misses config")},
        {R"({"command":"start","payload":{"config":{}}})", errorAnswer("Start command misses config")},
        {R"({"command":"start","payload":{"config":""}})", errorAnswer("Start command misses config")},
        {R"({"command":"start","payload":{"config":"\u0000{}"}})", errorAnswer("Start command misses config")},
        {R"({"command":"stop"})", errorAnswer("Stop command misses instance id")},
        // A number too large for a double cannot be written back: no echo, no command.
        {R"({"command":"stopAll","requestId":{"a":[1,-1e400]}})",
         errorAnswer("Request id holds a number out of range")},
    };
    for (const auto& [request, answer] : cases) EXPECT_EQ(handle(request), answer) << request;
    for (const std::string id : {"\"3\"", "3.0", "-1", "4294967295", "null", "true"}) {
        EXPECT_EQ(handle(R"({"command":"stop","payload":{"instanceId":)" + id + "}}"),
                  errorAnswer("Stop command misses instance id"));
    }
}

TEST_F(RequestHandling, FailedStartsReportTheBackendTextOrTheirOwnAndWatchNothing) {
    EXPECT_CALL(backend, startInstance("c"))
        .WillOnce(Return(StartResult{false, -1, "CreateSingBoxInstance failed"}))
        .WillOnce(Return(StartResult{false, 4, ""}))
        .WillOnce([](const std::string&) -> StartResult { throw std::runtime_error("engine exploded"); });
    const std::string request = R"({"command":"start","payload":{"config":"c","ownerProcessId":9}})";
    EXPECT_EQ(handle(request), errorAnswer("CreateSingBoxInstance failed"));
    EXPECT_EQ(handle(request), errorAnswer("Failed to start sing-box"));
    EXPECT_EQ(handle(request), errorAnswer("engine exploded"));
    EXPECT_TRUE(server.watchedOwners().empty());
    EXPECT_TRUE(logs.lines().empty());
}

// Only positive integers are owners, by their low 32 bits (2^32 + 1 is 1, and
// 2^64 - 1 is stored unsigned); an instance id the client chose is ignored.
TEST_F(RequestHandling, StartWatchesOnlyPositiveIntegerOwnersByTheirLow32Bits) {
    const std::string owners[] = {
        "", "0", "-5", "1.5", "\"12\"", "4294967297", "18446744073709551615", "77,\"instanceId\":9"};
    const std::uint32_t watched[] = {0, 0, 0, 0, 0, 1, 4294967295u, 77};
    Owners expected;
    for (std::int32_t id = 0; id < 8; ++id) {
        const std::string member = owners[id].empty() ? "" : ",\"ownerProcessId\":" + owners[id];
        EXPECT_EQ(handle(R"({"command":"start","payload":{"config":"c")" + member + "}}"),
                  okAnswer(R"({"instanceId":)" + std::to_string(id) + "}"));
        if (watched[id] != 0) expected[id] = watched[id];
    }
    EXPECT_EQ(server.watchedOwners(), expected);
}

TEST_F(RequestHandling, OwnerTableFollowsStopsThatSucceed) {
    for (int i = 0; i < 3; ++i) handle(R"({"command":"start","payload":{"config":"c","ownerProcessId":50}})");
    EXPECT_CALL(backend, stopInstance(1))
        .WillOnce(Return(StopResult{false, "StopSingBoxInstance failed. Result: 5"}))
        .WillOnce(Return(StopResult{false, ""}))
        .WillOnce([]() -> StopResult { throw std::system_error(std::make_error_code(std::errc::io_error)); })
        .WillOnce(Return(StopResult{true, {}}));
    const std::string stop = R"({"command":"stop","payload":{"instanceId":1}})";
    EXPECT_EQ(handle(stop), errorAnswer("StopSingBoxInstance failed. Result: 5"));
    EXPECT_EQ(handle(stop), errorAnswer("Failed to stop sing-box"));
    EXPECT_EQ(handle(stop), errorAnswer(std::system_error(std::make_error_code(std::errc::io_error)).what()));
    EXPECT_EQ(server.watchedOwners(), (Owners{{0, 50}, {1, 50}, {2, 50}}));
    EXPECT_EQ(handle(stop), okAnswer("{}"));
    EXPECT_EQ(server.watchedOwners(), (Owners{{0, 50}, {2, 50}}));
    // Ids are read by their low 32 bits: 2^32 is 0, and a stop of an id nobody runs is the backend's to answer.
    EXPECT_CALL(backend, stopInstance(0)).WillOnce(Return(StopResult{true, {}}));
    EXPECT_EQ(handle(R"({"command":"stop","payload":{"instanceId":4294967296}})"), okAnswer("{}"));

    EXPECT_CALL(backend, stopAllInstances)
        .WillOnce(Return(StopResult{false, ""}))
        .WillOnce(Return(StopResult{true, {}}));
    EXPECT_EQ(handle(R"({"command":"stopAll"})"), errorAnswer("Failed to stop sing-box instances"));
    EXPECT_EQ(server.watchedOwners().size(), 1u);
    EXPECT_EQ(handle(R"({"command":"stopAll","payload":[]})"), okAnswer("{}"));
    EXPECT_TRUE(server.watchedOwners().empty());
    EXPECT_EQ(logs.lines(),
              (Lines{"Started sing-box instance 0", "Started sing-box instance 1", "Started sing-box instance 2",
                     "Stopped sing-box instance 1", "Stopped sing-box instance 0", "Stopped all sing-box instances"}));
}

// Requests from ordinary callers and root; the server is made at the first
// request, so a test may change the settings before.
class OrdinaryCallers : public ::testing::Test {
protected:
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    PipeServerSettings settings;
    std::unique_ptr<SingBoxNamedPipeServer> server;
    const platform::CallerIdentity root{"root", true, {}};
    static platform::CallerIdentity user(std::uint32_t n = 65534) { return {testing::ordinaryUser(n), false, {}}; }
    static std::string started(int id) { return okAnswer(R"({"instanceId":)" + std::to_string(id) + "}"); }
    std::string handle(const std::string& request, const platform::CallerIdentity& caller) {
        if (!server) server = std::make_unique<SingBoxNamedPipeServer>(L"", backend, logs.callback(), settings);
        return server->handleRequest(request, caller);
    }
    std::string stop(int id, const platform::CallerIdentity& caller) {
        return handle(R"({"command":"stop","payload":{"instanceId":)" + std::to_string(id) + "}}", caller);
    }
};

// An ordinary user's configuration reaches the engine only as the checked
// tree written out again, and a refused one not at all (the refusal is
// logged). Its instances hold at most 32 listeners together: the start that
// would make 33 is refused, a stop frees its share. A start that would leave
// the service fewer descriptors than its reserve is refused. Privileged
// callers pass both limits.
TEST_F(OrdinaryCallers, StartsGoToTheEngineAsCheckedAndWithinTheListenersAndTheDescriptorReserve) {
    std::size_t left = 100000;
    settings.policy.descriptorsLeft = [&] { return std::optional(left); };
    settings.instanceBytesPerSecond = settings.ordinaryBytesPerSecond = 100000;  // every line, however long a SID
    std::vector<std::string> engineSaw;
    ON_CALL(backend, startInstance).WillByDefault([&](const std::string& config) {
        engineSaw.push_back(config);
        return StartResult{true, static_cast<std::int32_t>(engineSaw.size() - 1), {}};
    });
    std::string sent;
    const auto start = [&](int listeners, const platform::CallerIdentity& caller) {
        sent = "{ \"inbounds\" : [ {\"type\":\"mixed\"}";
        for (int i = 1; i < listeners; ++i) sent += ", {\"type\":\"mixed\"}";
        sent += " ] }";
        return handle(
            boost::json::serialize(boost::json::object{{"command", "start"}, {"payload", {{"config", sent}}}}), caller);
    };

    EXPECT_EQ(start(2, user()), started(0));
    EXPECT_EQ(engineSaw.back(), R"({"inbounds":[{"type":"mixed"},{"type":"mixed"}]})");  // written out again
    EXPECT_EQ(stop(0, user()), okAnswer("{}"));
    EXPECT_EQ(start(16, user()), started(1));
    EXPECT_EQ(start(16, user()), started(2));
    EXPECT_EQ(start(1, user()),
              errorAnswer("Your user's instances would hold 33 listeners; at most 32 may run at once"));
    EXPECT_EQ(start(16, root), started(3));
    EXPECT_EQ(engineSaw.back(), sent);  // a privileged caller's text as sent
    EXPECT_EQ(stop(1, user()), okAnswer("{}"));
    EXPECT_EQ(start(16, user()), started(4));

    EXPECT_EQ(handle(R"({"command":"stopAll"})", root), okAnswer("{}"));
    left = 256 + 16 + 1;
    EXPECT_EQ(start(16, user()), started(5));
    left = 256 + 16;
    EXPECT_EQ(start(16, user()),
              errorAnswer("The service keeps its last descriptors for its own use; try again later"));
    left = 0;
    EXPECT_EQ(start(16, root), started(6));

    const std::string refusal =
        "Configuration field log.output is not allowed for your user: it makes the service write files";
    EXPECT_EQ(handle(R"({"command":"start","payload":{"config":"{\"log\":{\"output\":\"x\"}}"}})", user()),
              errorAnswer(refusal));
    EXPECT_EQ(engineSaw.size(), 7u);
    EXPECT_THAT(logs.lines(), Contains("Refused a configuration of " + user().user + ": " + refusal));
}

// Lines about an ordinary user's instances have that user's own limit, a
// privileged caller's none: a flood by one user hides nothing of root's. An
// ordinary stop that reached no instance logs nothing; root's does.
TEST_F(OrdinaryCallers, InstanceLinesAreLimitedPerUserAndNeverForPrivilegedCallers) {
    settings.instanceLinesPerSecond = 2;
    for (int i = 0; i < 3; ++i) handle(R"({"command":"start","payload":{"config":"[]"}})", user());
    handle(R"({"command":"start","payload":{"config":"[]"}})", user(65533));  // a limit of its own
    for (int i = 0; i < 3; ++i) handle(R"({"command":"start","payload":{"config":"{}"}})", root);
    EXPECT_EQ(stop(777777, user(65533)), okAnswer("{}"));  // its limit has room: no line all the same
    stop(777777, root);
    const std::string refusal = "Refused a configuration of " + user().user + ": Configuration is not a JSON object";
    const std::string other = "Refused a configuration of " + user(65533).user + ": Configuration is not a JSON object";
    EXPECT_EQ(logs.lines(),
              (Lines{refusal, refusal, other, "Started sing-box instance 0", "Started sing-box instance 1",
                     "Started sing-box instance 2", "Stopped sing-box instance 777777"}));
}

// Each of a user's running profiles keeps a cache file of its own: a second
// start of a running one's file is refused until that one stops (another
// user's is another file), and the user's folder keeps at most 8 files,
// counting those of starts not yet answered: the 8th new one passes, the
// 9th does not, an old one still does.
TEST_F(OrdinaryCallers, RunningProfilesNeverShareACacheFileAndAUserKeepsAtMostEight) {
    const std::string folder = testing::makeTempFolder("cache-share");
    settings.policy.dataFolder = folder;
    int next = 0;
    bool explode = true;  // the engine's first start throws
    ON_CALL(backend, startInstance).WillByDefault([&](const std::string&) {
        if (std::exchange(explode, false)) throw std::bad_alloc();
        return StartResult{true, next++, {}};
    });
    const auto start = [&](const std::string& id, const platform::CallerIdentity& caller) {
        return handle(R"({"command":"start","payload":{"config":"{\"experimental\":{\"cache_file\":)"
                      R"({\"enabled\":true,\"cache_id\":\")" +
                          id + R"(\"}}}"}})",
                      caller);
    };
    const std::string shared = errorAnswer(
        "Your user runs a profile with this cache already; give each running profile its own "
        "experimental.cache_file.cache_id");
    EXPECT_EQ(start("a", user()), errorAnswer("std::bad_alloc"));  // a start that failed keeps nothing
    EXPECT_EQ(start("a", user()), started(0));
    EXPECT_EQ(start("a", user()), shared);
    EXPECT_EQ(start("a", user(65533)), started(1));
    EXPECT_EQ(stop(0, user()), okAnswer("{}"));
    EXPECT_EQ(start("a", user()), started(2));
    // The engine makes the file as it starts; a file of an earlier run counts too.
    const std::string own = folder + "/users/" + user().user.substr(user().user.rfind(' ') + 1);
    std::ofstream(own + "/cache-61.db").put('x');
    std::ofstream(own + "/cache-6f6c64.db").put('x');
    for (const char* id : {"b", "c", "d", "e", "f", "g"}) EXPECT_THAT(start(id, user()), HasSubstr(R"("ok":true)"));
    EXPECT_EQ(start("h", user()), errorAnswer("Your user keeps 8 cache files already; at most 8 may be kept"));
    EXPECT_EQ(start("old", user()), started(9));
    EXPECT_EQ(handle(R"({"command":"stopAll"})", root), okAnswer("{}"));
    EXPECT_EQ(start("a", user()), started(10));
    server.reset();
    fs::remove_all(folder);
}

// The log names whose instance each ordinary caller's line is about, and
// of each start refused for a share; an ordinary stop-all that reached
// nothing says nothing; a privileged caller's lines read as they always
// have. "list" shows an ordinary caller its own user's instances, and a
// privileged caller every one, with their users, owners, listeners and start
// times; after a stop-all nothing. Any other word is still no command.
TEST_F(OrdinaryCallers, LinesNameWhoseInstancesTheyAreAndListShowsEachUserItsOwn) {
    settings.maxInstancesPerUser = 2;
    settings.ownerPollInterval = milliseconds(300);
    int next = 0;
    ON_CALL(backend, startInstance).WillByDefault([&](const std::string&) { return StartResult{true, next++, {}}; });
    const auto start = [&](int listeners, std::uint32_t owner, const platform::CallerIdentity& caller) {
        std::string inbounds;
        for (int i = 0; i < listeners; ++i) inbounds += std::string(i ? "," : "") + R"({"type":"mixed"})";
        return handle(boost::json::serialize(boost::json::object{
                          {"command", "start"},
                          {"payload", {{"config", R"({"inbounds":[)" + inbounds + "]}"}, {"ownerProcessId", owner}}}}),
                      caller);
    };
    const auto today = [] {  // start times are "YYYY-MM-DD hh:mm:ss", of the day the test ran
        const std::time_t now = std::time(nullptr);
        char date[16] = {};
        return std::string(date, std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now)));
    };
    const std::string testDay = today();
    const auto list = [&](const platform::CallerIdentity& caller) {  // each start time becomes "T"
        std::string text = handle(R"({"command":"list"})", caller);
        for (const std::string& day : {testDay, today()})
            for (auto at = text.find(day); at != std::string::npos; at = text.find(day)) text.replace(at, 19, "T");
        return text;
    };
    EXPECT_THAT(start(2, 4242, user()), HasSubstr(R"("ok":true)"));
    EXPECT_THAT(start(1, 0, user()), HasSubstr(R"("ok":true)"));
    EXPECT_THAT(start(3, 0, user(65533)), HasSubstr(R"("ok":true)"));
    EXPECT_EQ(start(1, 0, user()), errorAnswer("Your user runs 2 instances already"));
    EXPECT_THAT(start(0, 7, root), HasSubstr(R"("ok":true)"));
    const std::string me = user().user, them = user(65533).user;
    const std::string first =
        R"({"instanceId":0,"user":")" + me + R"(","ownerProcessId":4242,"listeners":2,"started":"T"})";
    const std::string mine = first + R"(,{"instanceId":1,"user":")" + me + R"(","listeners":1,"started":"T"})";
    const std::string other = R"({"instanceId":2,"user":")" + them + R"(","listeners":3,"started":"T"})";
    const std::string roots = R"({"instanceId":3,"user":"root","ownerProcessId":7,"started":"T"})";
    const auto instances = [](const std::string& list) { return okAnswer(R"({"instances":[)" + list + "]}"); };
    EXPECT_EQ(list(user()), instances(mine));
    EXPECT_EQ(list(user(65533)), instances(other));
    EXPECT_EQ(list(user(65532)), instances(""));
    EXPECT_EQ(list(root), instances(mine + "," + other + "," + roots));
    EXPECT_EQ(handle(R"({"command":"stopAll"})", user(65532)), okAnswer("{}"));  // nothing of its own: no line
    EXPECT_EQ(stop(1, user()), okAnswer("{}"));
    EXPECT_EQ(list(user()), instances(first));
    EXPECT_EQ(handle(R"({"command":"stopAll"})", user()), okAnswer("{}"));
    EXPECT_EQ(stop(2, root), okAnswer("{}"));
    EXPECT_EQ(handle(R"({"command":"stopAll"})", root), okAnswer("{}"));
    EXPECT_EQ(list(root), instances(""));
    EXPECT_EQ(handle(R"({"command":"status"})", root), errorAnswer("Unknown command: status"));
    EXPECT_EQ(logs.lines(),
              (Lines{"Started sing-box instance 0 for " + me, "Started sing-box instance 1 for " + me,
                     "Started sing-box instance 2 for " + them,
                     "Refused a start of " + me + ": Your user runs 2 instances already", "Started sing-box instance 3",
                     "Stopped sing-box instance 1 for " + me, "Stopped all sing-box instances for " + me,
                     "Stopped sing-box instance 2", "Stopped all sing-box instances"}));
    // The watcher's line about an ordinary user's instance whose owner is gone names whose it was; it
    // looks first one interval after it starts.
    EXPECT_THAT(start(1, 0x7FFFFFF0u, user()), HasSubstr(R"("ok":true)"));
    const auto watched = std::chrono::steady_clock::now();
    server->startOwnerWatcher();
    EXPECT_TRUE(testing::waitUntil([&] {
        return logs.lines().back() == "Owner process 2147483632 is gone; stopping sing-box instance 4 for " + me;
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - watched, settings.ownerPollInterval);
    server->stopOwnerWatcher();
}

// A start still under way holds its place in its user's share.
TEST_F(OrdinaryCallers, AStartUnderWayHoldsItsPlace) {
    settings.maxInstancesPerUser = 2;
    std::promise<void> entered, gate;
    ON_CALL(backend, startInstance).WillByDefault([&](const std::string& config) {
        if (config != "{}") entered.set_value(), gate.get_future().wait();  // the second start waits in the engine
        return StartResult{true, config == "{}" ? 0 : 1, {}};
    });
    const std::string start = R"({"command":"start","payload":{"config":"{}"}})";
    EXPECT_EQ(handle(start, user()), started(0));
    std::thread second([&] { handle(R"({"command":"start","payload":{"config":"{\"inbounds\":[]}"}})", user()); });
    entered.get_future().wait();
    EXPECT_EQ(handle(start, user()), errorAnswer("Your user runs 2 instances already"));
    gate.set_value();
    second.join();
}

// Ordinary users run 48 instances together: the 49th start is refused
// whoever's it is, a privileged caller's is not, and a stop frees a place.
TEST_F(OrdinaryCallers, RunAtMost48InstancesTogether) {
    const std::string start = R"({"command":"start","payload":{"config":"{}"}})";
    for (std::uint32_t n = 1; n <= 3; ++n)
        for (int i = 0; i < 16; ++i) EXPECT_THAT(handle(start, user(n)), HasSubstr(R"("ok":true)"));
    EXPECT_EQ(handle(start, user(4)), errorAnswer("Ordinary users run 48 instances already; try again later"));
    EXPECT_THAT(handle(start, root), HasSubstr(R"("ok":true)"));
    EXPECT_EQ(stop(0, user(1)), okAnswer("{}"));
    EXPECT_THAT(handle(start, user(4)), HasSubstr(R"("ok":true)"));
}

}  // namespace
}  // namespace velmora::vpn
