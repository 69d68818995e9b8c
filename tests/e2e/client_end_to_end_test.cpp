#include "support/prelude.h"

#include "protocol.h"

namespace velmora::vpn {
namespace {

// The real service program and the real command-line client, talking over
// the real pipe, with the stand-in engine listening on a TCP port while an
// instance runs.
class ClientEndToEnd : public ::testing::Test {
protected:
    std::string pipe = platform::toUtf8(testing::uniquePipeName());
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
        arguments.insert(arguments.begin(), "--pipe-name=" + pipe);
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

// Users of one machine, the service as root: an ordinary user stops only its
// own user's instances (its shares are the limit suite's), and root's
// stop-all stops everyone's.
TEST_F(ClientEndToEnd, AnOrdinaryUserActsOnItsOwnInstancesOnly) {
    if (!testing::canRunAsAnotherUser()) GTEST_SKIP() << "needs root to act as other users";
    const auto as = [&](std::uint32_t uid, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--pipe-name", pipe});
        return testing::clientAs(uid, arguments);
    };
    const std::uint16_t ports[] = {testing::freeTcpPort(), testing::freeTcpPort()};
    ASSERT_EQ(client({"start", "--config", configListeningOn(ports[0])}).exitCode, 0u);  // 0: root's
    // 1: 65533's, which takes two seconds to come up; meanwhile its id is
    // nobody's yet, and a stop of it by another user touches nothing.
    const std::string slow = folder + "/slow.json";
    std::ofstream(slow) << R"({"outbounds":[{"type":"direct","tag":"standin:{\"startDelayMs\":2000}"}],)"
                        << R"("inbounds":[{"type":"mixed","listen_port":)" << ports[1] << "}]}";
    const auto slowStart = std::chrono::steady_clock::now();
    auto starting = std::async(std::launch::async, [&] { return as(65533, {"start", "--config", slow}); });
    const auto refused = [](const std::string& id) {
        return Ran(1u, testing::errorAnswer("Instance " + id + " belongs to another user") + "\n", "");
    };
    while (starting.wait_for(milliseconds(0)) != std::future_status::ready)
        EXPECT_THAT(as(65534, {"stop", "1"}),
                    ::testing::AnyOf(Ran(0u, testing::okAnswer("{}") + "\n", ""), refused("1")));
    ASSERT_THAT(starting.get(), Ran(0u, _, ""));
    EXPECT_GE(std::chrono::steady_clock::now() - slowStart, milliseconds(2000));  // the script in its tag was read
    for (const char* id : {"0", "1"}) EXPECT_THAT(as(65534, {"stop", id}), refused(id));
    EXPECT_THAT(as(65534, {"stop-all"}), Ran(0u, testing::okAnswer("{}") + "\n", ""));
    EXPECT_TRUE(testing::tcpPortAccepts(ports[0]) && testing::tcpPortAccepts(ports[1]));
    EXPECT_EQ(client({"stop-all"}).exitCode, 0u);
    EXPECT_FALSE(testing::tcpPortAccepts(ports[0]) || testing::tcpPortAccepts(ports[1]));
    EXPECT_THAT(service->wait(milliseconds(0)).errors, Not(HasSubstr("Stopped sing-box instance 0")));
}

// Instances whose owner exited (reaped by its parent or not), was killed or
// never existed are each stopped once, within about a second (the watcher
// scans once a second); a living owner's instance runs on.
TEST_F(ClientEndToEnd, InstancesEndSoonAfterTheirOwnersAndOnlyThen) {
    // Processes to watch: one that ends at once, one that runs until killed.
    testing::SiblingProcess exiting("VelmoraVpnService", {"--help"});
    testing::SiblingProcess killed("VelmoraVpnService", {"--console", "--pipe-name", pipe + "-owner"});
    // The last: an id no process can have on any system (negative where ids are signed).
    const std::uint32_t owners[] = {exiting.id(), killed.id(), 0x7FFFFFF0u, testing::currentProcessId(), 0xFFFFFFF0u};
    std::uint16_t ports[5] = {};
    const auto start = [&](int id) {
        ports[id] = testing::freeTcpPort();
        const Lines arguments{"start", "--config", configListeningOn(ports[id]), "--owner-pid",
                              std::to_string(owners[id])};
        EXPECT_EQ(linesOf(client(arguments).output),
                  Lines{testing::okAnswer(R"({"instanceId":)" + std::to_string(id) + "}")});
    };
    const auto stopped = [&](std::initializer_list<int> ids) {
        return testing::waitUntil([&] {
            return std::none_of(ids.begin(), ids.end(), [&](int id) { return testing::tcpPortAccepts(ports[id]); });
        });
    };
    for (int id = 0; id < 4; ++id) start(id);
    killed.kill();
    EXPECT_TRUE(stopped({0, 1, 2}));
    start(4);  // once this one is stopped too, a whole scan has passed since
    EXPECT_TRUE(stopped({4}));
    EXPECT_TRUE(testing::tcpPortAccepts(ports[3]));
    const std::string errors = service->wait(milliseconds(0)).errors;
    const Lines messages = messagesOf(errors);
    for (const int id : {0, 1, 2, 4}) {  // once each, and as root's lines always read
        const std::string line = "Owner process " + std::to_string(owners[id]) +
                                 " is gone; stopping sing-box instance " + std::to_string(id);
        EXPECT_EQ(std::count(messages.begin(), messages.end(), line), 1) << line;
    }
    EXPECT_THAT(errors, Not(HasSubstr("stopping sing-box instance 3")));
}

// Each command in turn, with the one line it prints and the exit code it
// gives: 0 for "ok": true, 1 for false, 2 when nothing was exchanged (the
// reason on standard error) or the command line is wrong (the reason, then
// the usage, which docs/protocol.md shows); the instance listens from its
// start to its stop.
TEST_F(ClientEndToEnd, EachCommandPrintsItsAnswerAndExitsByIt) {
    const std::uint16_t port = testing::freeTcpPort();
    const std::string config = configListeningOn(port);
    const std::tuple<Lines, std::uint32_t, ::testing::Matcher<std::string>, bool> rows[] = {
        {{"ping"}, 0, testing::okAnswer(R"({"status":"ok"})"), false},
        {{"start", "--config", config}, 0, testing::okAnswer(R"({"instanceId":0})"), true},
        {{"stop", "0"}, 0, testing::okAnswer("{}"), false},
        {{"start", "--config", config, "--linger", "1"}, 0, testing::okAnswer(R"({"instanceId":1})"), true},
        {{"stop-all"}, 0, testing::okAnswer("{}"), false},
        {{"list"}, 0, testing::okAnswer(R"({"instances":[]})"), false},
        {{"send", R"({"command":"restart"})"}, 1, testing::errorAnswer("Unknown command: restart"), false},
        {{"--pipe-name", pipe + "-nobody", "--timeout", "100", "ping"}, 2, HasSubstr(" failed. "), false},
        {{"stop", "2147483647"}, 0, testing::okAnswer("{}"), false},
        {{"stop", "2147483648"}, 2, "stop needs an instance id", false},
        {{"start", "--owner-pid", "4294967296"}, 2, "--owner-pid needs a process id or self", false},
        {{"start", "--config", config, "--linger", "1x"}, 2, "--linger needs a number of milliseconds", false},
        {{"start", "--config", config, "--what"}, 2, "Unexpected argument to start: --what", false},
        {{"start"}, 2, "start needs --config <file|->", false},
        {{"start", "--config", folder + "/none"}, 2, "Cannot read configuration file " + folder + "/none", false},
        {{"--timeout", "-1", "ping"}, 2, "--timeout needs a number of milliseconds", false},
        {{"list", "x"}, 2, "Unknown command or wrong arguments: list", false},
    };
    for (const auto& [arguments, code, answer, listening] : rows) {
        const ProgramRun run = client(arguments);
        EXPECT_THAT(run, Ran(code, code == 2 ? "" : run.output, code == 2 ? run.errors : "")) << arguments[0];
        // Its first line ("" when it printed nothing).
        EXPECT_THAT(linesOf((code == 2 ? run.errors : run.output) + "\n").front(), answer) << arguments[0];
        EXPECT_EQ(testing::tcpPortAccepts(port), listening) << arguments[0];
    }
    Lines usage = testing::docBlock(kProtocolDoc, "## The command-line client");
    EXPECT_THAT(client({"--help"}), Ran(0u, ::testing::ResultOf(linesOf, usage), ""));
    usage.insert(usage.begin(), {"No command given", ""});
    EXPECT_EQ(linesOf(client({}).errors), usage);
}

}  // namespace
}  // namespace velmora::vpn
