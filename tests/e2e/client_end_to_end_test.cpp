#include "support/prelude.h"

#include <regex>

#include "runtime/service_host.h"

namespace velmora::vpn {
namespace {

// The real service program and the real command-line client, talking over
// the real pipe, with the stand-in engine listening on a TCP port while an
// instance runs.
class ClientEndToEnd : public ::testing::Test {
protected:
    std::string pipe = toUtf8(testing::uniquePipeName());
    std::string folder = testing::makeTempFolder("client");
    std::unique_ptr<testing::SiblingProcess> service;

    void SetUp() override {
        service.reset(new testing::SiblingProcess("VelmoraVpnService", {"--console", "--pipe-name", pipe}));
        ASSERT_TRUE(testing::waitUntil([&] { return client({"--timeout", "200", "ping"}).exitCode == 0; }));
    }
    void TearDown() override {
        service.reset();
        fs::remove_all(folder);
    }
    ProgramRun client(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--pipe-name", pipe});
        return testing::runSibling("velmora-vpn-client", arguments);
    }
    // A configuration file listening on a port of its own, so tests never clash.
    std::string configListeningOn(std::uint16_t port) {
        const std::string path = folder + "/config-" + std::to_string(port) + ".json";
        std::ofstream(path) << R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":)" << port
                            << R"(}],"outbounds":[{"type":"direct"}]})";
        return path;
    }
};

TEST_F(ClientEndToEnd, StartsStopsAndStopsAllThroughTheService) {
    const std::uint16_t port = testing::freeTcpPort();
    const ProgramRun started = client({"start", "--config", configListeningOn(port)});
    ASSERT_THAT(started, Ran(0u, _, ""));
    ASSERT_EQ(linesOf(started.output).size(), 1u);
    const std::int32_t id = testing::startedId(linesOf(started.output)[0]);  // the whole answer
    EXPECT_GE(id, 0) << started.output;
    EXPECT_TRUE(testing::tcpPortAccepts(port));
    EXPECT_EQ(client({"stop", std::to_string(id)}).exitCode, 0u);
    EXPECT_FALSE(testing::tcpPortAccepts(port));

    const std::uint16_t second = testing::freeTcpPort();
    ASSERT_EQ(client({"start", "--config", configListeningOn(second)}).exitCode, 0u);
    EXPECT_EQ(client({"stop-all"}).exitCode, 0u);
    EXPECT_FALSE(testing::tcpPortAccepts(second));
}

TEST_F(ClientEndToEnd, AnInstanceEndsSoonAfterItsOwnerProcess) {
    testing::SiblingProcess owner("test_child", {});
    const std::uint16_t port = testing::freeTcpPort();
    const std::string ownerId = std::to_string(owner.id());
    ASSERT_EQ(client({"start", "--config", configListeningOn(port), "--owner-pid", ownerId}).exitCode, 0u);
    EXPECT_TRUE(testing::tcpPortAccepts(port));
    owner.kill();
    // The watcher scans once a second.
    EXPECT_TRUE(testing::waitUntil([&] { return !testing::tcpPortAccepts(port); }, milliseconds(3000)));
    EXPECT_THAT(service->wait(milliseconds(0)).errors,
                HasSubstr("Owner process " + ownerId + " is gone; stopping sing-box instance"));
}

// The exit code follows the answer: 0 for "ok": true, 1 for false, 2 when
// nothing was exchanged or the command line is wrong.
TEST_F(ClientEndToEnd, ExitCodesFollowTheAnswer) {
    const std::tuple<Lines, std::uint32_t, Lines> rows[] = {
        {{"ping"}, 0, {testing::okAnswer(R"({"status":"ok"})")}},
        {{"stop", "7"}, 0, {testing::okAnswer("{}")}},
        {{"send", R"({"command":"restart"})"}, 1, {testing::errorAnswer("Unknown command: restart")}},
        {{"--pipe-name", pipe + "-nobody", "--timeout", "100", "ping"}, 2, {}},
        {{"stop", "x"}, 2, {}},
    };
    for (const auto& [arguments, code, output] : rows) {
        const ProgramRun run = client(arguments);
        EXPECT_EQ(run.exitCode, code) << arguments[0];
        EXPECT_EQ(linesOf(run.output), output) << arguments[0];
        EXPECT_EQ(run.errors.empty(), code != 2) << arguments[0];
    }
}

// Log lines written by many client threads at once reach the console whole,
// one line each, every one with its time stamp.
TEST_F(ClientEndToEnd, LinesFromManyClientsAtOnceStayWhole) {
    const std::wstring name = fromUtf8(pipe);
    testing::Traffic stops(name, 8, milliseconds(5000), [&](int client, long round) {
        const std::string id = std::to_string(client * 1000000L + round);
        const auto exchange = sendRequest(name, R"({"command":"stop","payload":{"instanceId":)" + id + "}}");
        return exchange.response == testing::okAnswer("{}") ? Outcome::answered : Outcome::wrong;
    });
    ASSERT_TRUE(stops.answersMore(serviceManagerAvailable() ? 60 : 300));  // Wine serves a few dozen a second
    stops.finish();
    const Lines lines = linesOf(service->wait(milliseconds(0)).errors);
    const std::regex whole(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )"
                           R"((Stopped sing-box instance \d+|Velmora VPN service runtime starting|Pipe: .+|)"
                           R"(Named pipe server starting))");
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_GE(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("Stopped sing-box") != std::string::npos; }),
              stops.answered());
    EXPECT_EQ(stops.wrong(), 0);
}

}  // namespace
}  // namespace velmora::vpn
