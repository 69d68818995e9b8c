#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include <boost/json.hpp>

#include "support/fake_backend.h"
#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

using testing::FakeBackend;
using testing::LogRecorder;
using Owners = std::map<std::int32_t, std::uint32_t>;

class RequestHandling : public ::testing::Test {
protected:
    FakeBackend backend;
    LogRecorder logs;
    SingBoxNamedPipeServer server{L"", backend, logs.callback()};

    std::string handle(const std::string& request) { return server.handleRequest(request); }

    std::string errorOf(const std::string& request) {
        const boost::json::object response = boost::json::parse(handle(request)).as_object();
        EXPECT_FALSE(response.at("ok").as_bool());
        return std::string(response.at("error").at("message").as_string());
    }
};

std::string errorText(const std::string& message, const std::string& requestIdMember = "") {
    return "{\"version\":1," + requestIdMember + "\"ok\":false,\"error\":{\"message\":\"" + message + "\"}}";
}

TEST_F(RequestHandling, WorkedExamplesMatchByteForByte) {
    EXPECT_EQ(handle(R"({"command":"ping","requestId":7})"),
              R"({"version":1,"requestId":7,"ok":true,"payload":{"status":"ok"}})");

    backend.scriptStart(StartResult{true, 3, {}});
    EXPECT_EQ(handle(R"({"requestId":"a1","command":"start","payload":{"config":"{...}","ownerProcessId":4242}})"),
              R"({"version":1,"requestId":"a1","ok":true,"payload":{"instanceId":3}})");
    EXPECT_EQ(server.watchedOwners(), (Owners{{3, 4242}}));
    EXPECT_EQ(logs.lines(), std::vector<std::string>{"Started sing-box instance 3"});

    EXPECT_EQ(handle(R"({"command":"stop","payload":{"instanceId":"3"}})"),
              R"({"version":1,"ok":false,"error":{"message":"Stop command misses instance id"}})");
    EXPECT_EQ(handle(R"({"command":"restart","requestId":null})"),
              R"({"version":1,"requestId":null,"ok":false,"error":{"message":"Unknown command: restart"}})");
    EXPECT_EQ(handle("[1,2]"), R"({"version":1,"ok":false,"error":{"message":"Request is not an object"}})");
    EXPECT_EQ(backend.calls(), std::vector<std::string>{"start {...}"});
}

TEST_F(RequestHandling, UnparsableTextsAnswerWithTheParserMessageAndNoRequestId) {
    const std::string inputs[] = {
        "",                                                 // empty
        "not json",                                         // garbage
        std::string("{\"command\":\"ping\"}\0", 17) + "x",  // a NUL byte after the object
        "{\"command\":\"pi\xff\xfeng\"}",                   // invalid UTF-8
        "{\"command\":\"ping\",}",                          // trailing comma
        std::string(33, '[') + std::string(33, ']'),        // nested one level too deep
    };
    for (const std::string& input : inputs) {
        const std::string response = handle(input);
        const boost::json::object object = boost::json::parse(response).as_object();
        EXPECT_EQ(object.begin()->key(), "version") << response;
        EXPECT_FALSE(object.contains("requestId")) << response;
        EXPECT_FALSE(object.at("ok").as_bool()) << response;
        EXPECT_FALSE(object.at("error").at("message").as_string().empty()) << response;
        EXPECT_NE(object.at("error").at("message").as_string(), "Request is not an object") << response;
    }
    // Thirty-two levels still parse; the value is just not an object.
    EXPECT_EQ(errorOf(std::string(32, '[') + std::string(32, ']')), "Request is not an object");
    EXPECT_EQ(errorOf("\"ping\""), "Request is not an object");
    EXPECT_EQ(errorOf("null"), "Request is not an object");
    EXPECT_TRUE(backend.calls().empty());
}

TEST_F(RequestHandling, RequestIdOfAnyTypeComesBackSecondAndUnchanged) {
    for (const std::string id : {"7", "\"a1\"", "{\"x\":[1,2]}", "null", "-1.5E0", "true"}) {
        EXPECT_EQ(handle(R"({"command":"ping","requestId":)" + id + "}"),
                  R"({"version":1,"requestId":)" + id + R"(,"ok":true,"payload":{"status":"ok"}})");
    }
    EXPECT_EQ(handle(R"({"command":"ping","version":99})"), R"({"version":1,"ok":true,"payload":{"status":"ok"}})");
    // A number too large for a double cannot be written back: no echo, no command.
    EXPECT_EQ(handle(R"({"command":"stopAll","requestId":{"a":[1,-1e400]}})"),
              errorText("Request id holds a number out of range"));
    EXPECT_TRUE(backend.calls().empty());
}

TEST_F(RequestHandling, CommandNamesAreExactAndCutAtAnEscapedNul) {
    EXPECT_EQ(errorOf(R"({"command":"Ping"})"), "Unknown command: Ping");
    EXPECT_EQ(errorOf(R"({"command":"STOP"})"), "Unknown command: STOP");
    EXPECT_EQ(errorOf(R"({"command":"status"})"), "Unknown command: status");
    EXPECT_EQ(handle(R"({"command":"","requestId":1})"), errorText("Request command is missing", "\"requestId\":1,"));
    EXPECT_EQ(errorOf(R"({"command":5})"), "Request command is missing");
    EXPECT_EQ(errorOf(R"({"payload":{}})"), "Request command is missing");
    EXPECT_EQ(handle(R"({"command":"ping\u0000x"})"), R"({"version":1,"ok":true,"payload":{"status":"ok"}})");
    EXPECT_TRUE(backend.calls().empty());
}

TEST_F(RequestHandling, StartNeedsANonEmptyConfigString) {
    EXPECT_EQ(handle(R"({"command":"start","requestId":2})"),
              errorText("Start command misses config", "\"requestId\":2,"));
    EXPECT_EQ(errorOf(R"({"command":"start","payload":"config"})"), "Start command misses config");
    EXPECT_EQ(errorOf(R"({"command":"start","payload":{"config":{}}})"), "Start command misses config");
    EXPECT_EQ(errorOf(R"({"command":"start","payload":{"config":""}})"), "Start command misses config");
    EXPECT_EQ(errorOf(R"({"command":"start","payload":{"config":"\u0000{}"}})"), "Start command misses config");
    EXPECT_TRUE(backend.calls().empty());
}

TEST_F(RequestHandling, FailedStartReportsTheBackendTextOrItsOwn) {
    backend.scriptStart(StartResult{false, -1, "CreateSingBoxInstance failed"});
    backend.scriptStart(StartResult{false, 4, ""});
    EXPECT_EQ(handle(R"({"command":"start","requestId":"r","payload":{"config":"c","ownerProcessId":9}})"),
              errorText("CreateSingBoxInstance failed", "\"requestId\":\"r\","));
    EXPECT_EQ(errorOf(R"({"command":"start","payload":{"config":"c","ownerProcessId":9}})"),
              "Failed to start sing-box");
    EXPECT_TRUE(server.watchedOwners().empty());
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(RequestHandling, StartWatchesOnlyPositiveIntegerOwnersByTheirLow32Bits) {
    const std::pair<std::string, std::uint32_t> cases[] = {
        {"", 0},
        {",\"ownerProcessId\":0", 0},
        {",\"ownerProcessId\":-5", 0},
        {",\"ownerProcessId\":1.5", 0},
        {",\"ownerProcessId\":\"12\"", 0},
        {",\"ownerProcessId\":null", 0},
        {",\"ownerProcessId\":4294967297", 1},                      // 2^32 + 1
        {",\"ownerProcessId\":18446744073709551615", 4294967295u},  // stored unsigned
        {",\"ownerProcessId\":77", 77},
    };
    Owners expected;
    std::int32_t id = 0;
    for (const auto& [member, owner] : cases) {
        EXPECT_EQ(handle(R"({"command":"start","payload":{"config":"c")" + member + "}}"),
                  R"({"version":1,"ok":true,"payload":{"instanceId":)" + std::to_string(id) + "}}");
        if (owner != 0) expected[id] = owner;
        ++id;
    }
    EXPECT_EQ(server.watchedOwners(), expected);
}

TEST_F(RequestHandling, OwnerTableFollowsStartsAndStops) {
    // Two instances of one owner are two entries; a client-chosen id is ignored.
    handle(R"({"command":"start","payload":{"config":"a","ownerProcessId":50,"instanceId":9}})");
    handle(R"({"command":"start","payload":{"config":"b","ownerProcessId":50}})");
    handle(R"({"command":"start","payload":{"config":"c","ownerProcessId":60}})");
    EXPECT_EQ(server.watchedOwners(), (Owners{{0, 50}, {1, 50}, {2, 60}}));

    // A refused stop keeps the entry; a good one removes it.
    backend.scriptStop(StopResult{false, "StopSingBoxInstance failed. Result: 5"});
    EXPECT_EQ(handle(R"({"command":"stop","requestId":3,"payload":{"instanceId":1}})"),
              errorText("StopSingBoxInstance failed. Result: 5", "\"requestId\":3,"));
    backend.scriptStop(StopResult{false, ""});
    EXPECT_EQ(errorOf(R"({"command":"stop","payload":{"instanceId":1}})"), "Failed to stop sing-box");
    EXPECT_EQ(server.watchedOwners(), (Owners{{0, 50}, {1, 50}, {2, 60}}));
    EXPECT_EQ(handle(R"({"command":"stop","payload":{"instanceId":1}})"), R"({"version":1,"ok":true,"payload":{}})");
    EXPECT_EQ(server.watchedOwners(), (Owners{{0, 50}, {2, 60}}));

    // A stop of an unknown id is a success the backend decides; nothing else changes.
    EXPECT_EQ(handle(R"({"command":"stop","payload":{"instanceId":40}})"), R"({"version":1,"ok":true,"payload":{}})");

    // A refused stop-all keeps the table; a good one empties it.
    backend.scriptStopAll([] { return StopResult{false, ""}; });
    EXPECT_EQ(errorOf(R"({"command":"stopAll"})"), "Failed to stop sing-box instances");
    EXPECT_EQ(server.watchedOwners().size(), 2u);
    EXPECT_EQ(handle(R"({"command":"stopAll","payload":[]})"), R"({"version":1,"ok":true,"payload":{}})");
    EXPECT_TRUE(server.watchedOwners().empty());

    EXPECT_EQ(logs.lines(),
              (std::vector<std::string>{"Started sing-box instance 0", "Started sing-box instance 1",
                                        "Started sing-box instance 2", "Stopped sing-box instance 1",
                                        "Stopped sing-box instance 40", "Stopped all sing-box instances"}));
}

TEST_F(RequestHandling, StopNeedsANonNegativeIntegerId) {
    for (const std::string id : {"", "\"3\"", "3.0", "-1", "4294967295", "null", "true"}) {
        const std::string member = id.empty() ? "" : "\"instanceId\":" + id;
        EXPECT_EQ(errorOf(R"({"command":"stop","payload":{)" + member + "}}"), "Stop command misses instance id");
    }
    EXPECT_EQ(errorOf(R"({"command":"stop"})"), "Stop command misses instance id");
    EXPECT_TRUE(backend.calls().empty());

    handle(R"({"command":"stop","payload":{"instanceId":0}})");
    handle(R"({"command":"stop","payload":{"instanceId":4294967296}})");            // low 32 bits: 0
    handle(R"({"command":"stop","payload":{"instanceId":18446744073709551615}})");  // low 32 bits: -1
    EXPECT_EQ(backend.calls(), (std::vector<std::string>{"stop 0", "stop 0"}));
}

TEST_F(RequestHandling, ExceptionsWhileACommandRunsBecomeErrorResponses) {
    backend.scriptStart([](const std::string&) -> StartResult { throw std::runtime_error("engine exploded"); });
    EXPECT_EQ(handle(R"({"command":"start","requestId":1,"payload":{"config":"c","ownerProcessId":5}})"),
              errorText("engine exploded", "\"requestId\":1,"));
    EXPECT_TRUE(server.watchedOwners().empty());

    backend.scriptStop([]() -> StopResult {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    });
    const std::string stopMessage = errorOf(R"({"command":"stop","payload":{"instanceId":1}})");
    EXPECT_EQ(stopMessage, std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur)).what());
}

TEST(RequestHandlingLog, ALogFailureAfterAStartLeavesTheInstanceRunningAndWatched) {
    FakeBackend backend;
    SingBoxNamedPipeServer server(L"", backend, [](const std::string&) { throw std::runtime_error("disk full"); });
    EXPECT_EQ(
        server.handleRequest(R"({"command":"start","requestId":"x","payload":{"config":"c","ownerProcessId":8}})"),
        R"({"version":1,"requestId":"x","ok":false,"error":{"message":"disk full"}})");
    EXPECT_EQ(server.watchedOwners(), (Owners{{0, 8}}));
    EXPECT_EQ(backend.calls(), std::vector<std::string>{"start c"});
    // Ping logs nothing, so it still succeeds.
    EXPECT_EQ(server.handleRequest(R"({"command":"ping"})"), R"({"version":1,"ok":true,"payload":{"status":"ok"}})");
}

TEST(RequestHandlingLog, AnEmptyLogCallbackLogsNothingAndStillServes) {
    FakeBackend backend;
    SingBoxNamedPipeServer server(L"", backend, nullptr);
    EXPECT_EQ(server.handleRequest(R"({"command":"start","payload":{"config":"c"}})"),
              R"({"version":1,"ok":true,"payload":{"instanceId":0}})");
    EXPECT_EQ(server.pipeName(), L"\\\\.\\pipe\\VelmoraVpnService");
}

TEST_F(RequestHandling, ASixteenMebibyteConfigReachesTheBackendWhole) {
    const std::string config(16 * 1024 * 1024, 'x');
    const std::string request = R"({"command":"start","payload":{"config":")" + config + "\"}}";
    std::size_t seen = 0;
    backend.scriptStart([&seen](const std::string& c) {
        seen = c.size();
        return StartResult{true, 1, {}};
    });
    EXPECT_EQ(handle(request), R"({"version":1,"ok":true,"payload":{"instanceId":1}})");
    EXPECT_EQ(seen, config.size());
}

}  // namespace
}  // namespace velmora::vpn
