#include "support/prelude.h"

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

}  // namespace
}  // namespace velmora::vpn
