#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/owner_process.h"
#include "support/fake_backend.h"
#include "support/test_platform.h"
#include "support/wait_until.h"
#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

using ::testing::Contains;
using ::testing::Not;
using Owners = std::map<std::int32_t, std::uint32_t>;

class OwnerWatcher : public ::testing::Test {
protected:
    static PipeServerSettings fastScans() {
        PipeServerSettings settings;
        settings.ownerPollInterval = std::chrono::milliseconds(20);
        return settings;
    }

    testing::FakeBackend backend;
    testing::LogRecorder logs;
    SingBoxNamedPipeServer server{L"", backend, logs.callback(), fastScans()};

    std::int32_t startOwnedBy(std::uint32_t owner) {
        const std::string response = server.handleRequest(
            R"({"command":"start","payload":{"config":"c","ownerProcessId":)" + std::to_string(owner) + "}}");
        return static_cast<std::int32_t>(std::stoi(response.substr(response.find("instanceId") + 12)));
    }
    // Returns after at least one whole scan of the table has begun and ended
    // since the call: an entry whose owner never existed is dropped by the
    // first scan that sees it.
    void waitForAScan() {
        const std::int32_t marker = startOwnedBy(kNoSuchProcess);
        ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners().count(marker) == 0; }));
    }
    static constexpr std::uint32_t kNoSuchProcess = 0x7FFFFFF0u;

    std::string goneLine(std::uint32_t owner, std::int32_t instance) {
        return "Owner process " + std::to_string(owner) + " is gone; stopping sing-box instance " +
               std::to_string(instance);
    }
};

TEST_F(OwnerWatcher, AnOwnerThatExitsHasAllItsInstancesStoppedOnce) {
    testing::ChildProcess owner(50);
    const std::uint32_t self = testing::currentProcessId();
    const std::int32_t first = startOwnedBy(owner.id());
    const std::int32_t second = startOwnedBy(owner.id());
    const std::int32_t kept = startOwnedBy(self);
    server.startOwnerWatcher();

    owner.wait();
    ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners() == Owners{{kept, self}}; }));
    server.stopOwnerWatcher();

    const auto calls = backend.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "stop " + std::to_string(first)), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "stop " + std::to_string(second)), 1);
    EXPECT_THAT(logs.lines(), Contains(goneLine(owner.id(), first)));
    EXPECT_THAT(logs.lines(), Contains(goneLine(owner.id(), second)));
}

TEST_F(OwnerWatcher, AKilledOwnerAndAnIdNoProcessHasCountAsGone) {
    testing::ChildProcess owner;
    const std::int32_t killedOwners = startOwnedBy(owner.id());
    const std::int32_t nobodys = startOwnedBy(0x7FFFFFF0u);
    server.startOwnerWatcher();
    owner.kill();
    ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners().empty(); }));
    EXPECT_THAT(logs.lines(), Contains(goneLine(owner.id(), killedOwners)));
    EXPECT_THAT(logs.lines(), Contains(goneLine(0x7FFFFFF0u, nobodys)));
}

TEST_F(OwnerWatcher, LiveOwnersStayWatchedScanAfterScan) {
    testing::ChildProcess owner;
    const Owners expected{{startOwnedBy(owner.id()), owner.id()},
                          {startOwnedBy(testing::currentProcessId()), testing::currentProcessId()}};
    server.startOwnerWatcher();
    waitForAScan();
    waitForAScan();
    server.stopOwnerWatcher();
    EXPECT_EQ(server.watchedOwners(), expected);
    for (const auto& [instance, process] : expected) {
        EXPECT_THAT(backend.calls(), Not(Contains("stop " + std::to_string(instance))));
    }
}

TEST(OwnerProcess, OnlyAProcessThatNoLongerExistsIsGone) {
    EXPECT_FALSE(isOwnerGone(testing::currentProcessId()));
    EXPECT_TRUE(isOwnerGone(0x7FFFFFF0u));
    testing::ChildProcess child;
    EXPECT_FALSE(isOwnerGone(child.id()));
    child.kill();
    EXPECT_TRUE(isOwnerGone(child.id()));
}

TEST_F(OwnerWatcher, AFailedStopStillDropsTheEntryAndIsNotRetried) {
    backend.scriptStop(StopResult{false, "StopSingBoxInstance failed. Result: 5"});
    const std::int32_t id = startOwnedBy(0x7FFFFFF0u);
    server.startOwnerWatcher();
    ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners().empty(); }));
    waitForAScan();
    server.stopOwnerWatcher();
    const auto calls = backend.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "stop " + std::to_string(id)), 1);
}

TEST_F(OwnerWatcher, StoppingAndRestartingKeepsTheTable) {
    server.stopOwnerWatcher();  // never started: only sets the flag
    const std::int32_t id = startOwnedBy(0x7FFFFFF0u);
    server.startOwnerWatcher();
    server.startOwnerWatcher();  // already running: nothing happens
    server.stopOwnerWatcher();
    backend.scriptStop([] { return StopResult{true, {}}; });
    server.startOwnerWatcher();  // a fresh thread, flag cleared, same entries
    ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners().empty(); }));
    EXPECT_THAT(backend.calls(), Contains("stop " + std::to_string(id)));
}

}  // namespace
}  // namespace velmora::vpn
