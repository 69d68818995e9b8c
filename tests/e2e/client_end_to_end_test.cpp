#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/text.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/wait_until.h"

namespace velmora::vpn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::ProgramRun;
using ::testing::StartsWith;

// The real service program and the real command-line client, talking over
// the real pipe, with the stand-in engine listening on a TCP port while an
// instance runs.
class ClientEndToEnd : public ::testing::Test {
protected:
    std::string pipe = toUtf8(testing::uniquePipeName());
    std::string folder = testing::makeTempFolder("client");
    std::unique_ptr<testing::SiblingProcess> service;

    void SetUp() override {
        service = std::make_unique<testing::SiblingProcess>("VelmoraVpnService",
                                                            std::vector<std::string>{"--console", "--pipe-name", pipe});
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

    // The demo configuration with a port of its own, so tests never clash.
    std::string configListeningOn(std::uint16_t port) {
        const std::string path = (fs::path(folder) / ("config-" + std::to_string(port) + ".json")).string();
        std::ofstream(path) << R"({"inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":)" << port
                            << R"(}],"outbounds":[{"type":"direct"}]})";
        return path;
    }
};

TEST_F(ClientEndToEnd, StartsStopsAndStopsAllThroughTheService) {
    const std::uint16_t port = testing::freeTcpPort();
    const ProgramRun started = client({"start", "--config", configListeningOn(port)});
    EXPECT_EQ(started.exitCode, 0u) << started.errors;
    EXPECT_THAT(started.output, StartsWith(R"({"version":1,"ok":true,"payload":{"instanceId":)"));
    EXPECT_TRUE(testing::tcpPortAccepts(port));

    const std::string id = started.output.substr(started.output.find("instanceId") + 12,
                                                 started.output.find('}') - started.output.find("instanceId") - 12);
    const ProgramRun stopped = client({"stop", id});
    EXPECT_EQ(stopped.exitCode, 0u);
    EXPECT_FALSE(testing::tcpPortAccepts(port));

    const std::uint16_t second = testing::freeTcpPort();
    ASSERT_EQ(client({"start", "--config", configListeningOn(second)}).exitCode, 0u);
    EXPECT_EQ(client({"stop-all"}).exitCode, 0u);
    EXPECT_FALSE(testing::tcpPortAccepts(second));
}

TEST_F(ClientEndToEnd, AnInstanceEndsSoonAfterItsOwnerProcess) {
    testing::ChildProcess owner;
    const std::uint16_t port = testing::freeTcpPort();
    const ProgramRun started =
        client({"start", "--config", configListeningOn(port), "--owner-pid", std::to_string(owner.id())});
    ASSERT_EQ(started.exitCode, 0u) << started.errors;
    EXPECT_TRUE(testing::tcpPortAccepts(port));

    owner.kill();
    // The watcher scans once a second.
    EXPECT_TRUE(testing::waitUntil([&] { return !testing::tcpPortAccepts(port); }, std::chrono::milliseconds(3000)));
    const ProgramRun run = service->wait(std::chrono::milliseconds(0));
    EXPECT_THAT(run.errors,
                HasSubstr("Owner process " + std::to_string(owner.id()) + " is gone; stopping sing-box instance"));
}

TEST_F(ClientEndToEnd, TheExitCodeTellsRefusalFromFailure) {
    const ProgramRun refused = client({"send", R"({"command":"restart","requestId":9})"});
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_THAT(refused.output,
                HasSubstr(R"({"version":1,"requestId":9,"ok":false,"error":{"message":"Unknown command: restart"}})"));

    const ProgramRun badConfig = client({"start", "--config", (fs::path(folder) / "missing.json").string()});
    EXPECT_EQ(badConfig.exitCode, 2u);

    const ProgramRun unreachable =
        testing::runSibling("velmora-vpn-client", {"--pipe-name", pipe + "-nobody", "--timeout", "100", "ping"});
    EXPECT_EQ(unreachable.exitCode, 2u);
    EXPECT_EQ(unreachable.output, "");
    EXPECT_EQ(std::count(unreachable.errors.begin(), unreachable.errors.end(), '\n'), 1) << unreachable.errors;
}

}  // namespace
}  // namespace velmora::vpn
