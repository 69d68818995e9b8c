#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/owner_process.h"
#include "support/mock_backend.h"
#include "support/test_platform.h"
#include "support/traffic.h"
#include "support/wait_until.h"
#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

using ::testing::_;
using ::testing::AnyNumber;
using ::testing::Contains;
using ::testing::Return;
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
        return testing::startedId(server.handleRequest(
            R"({"command":"start","payload":{"config":"c","ownerProcessId":)" + std::to_string(owner) + "}}"));
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

TEST_F(OwnerWatcher, InstancesOfEndedOwnersAreStoppedOnceAndLiveOwnersStayWatched) {
    testing::ChildProcess exiting(50);
    testing::ChildProcess killed;
    testing::ChildProcess living;
    const std::uint32_t self = testing::currentProcessId();
    const std::int32_t first = startOwnedBy(exiting.id());
    const std::int32_t second = startOwnedBy(exiting.id());
    const std::int32_t ofKilled = startOwnedBy(killed.id());
    const std::int32_t ofNobody = startOwnedBy(kNoSuchProcess);
    const Owners live{{startOwnedBy(self), self}, {startOwnedBy(living.id()), living.id()}};
    EXPECT_CALL(backend, stopInstance(_)).Times(AnyNumber());  // the scan markers
    for (const std::int32_t gone : {first, second, ofKilled, ofNobody}) EXPECT_CALL(backend, stopInstance(gone));
    for (const auto& [instance, process] : live) EXPECT_CALL(backend, stopInstance(instance)).Times(0);
    server.startOwnerWatcher();

    exiting.wait();
    killed.kill();
    ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners() == live; }));
    waitForAScan();
    waitForAScan();
    server.stopOwnerWatcher();
    EXPECT_EQ(server.watchedOwners(), live);
    EXPECT_THAT(logs.lines(), Contains(goneLine(exiting.id(), first)));
    EXPECT_THAT(logs.lines(), Contains(goneLine(exiting.id(), second)));
    EXPECT_THAT(logs.lines(), Contains(goneLine(killed.id(), ofKilled)));
    EXPECT_THAT(logs.lines(), Contains(goneLine(kNoSuchProcess, ofNobody)));
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
    const std::int32_t id = startOwnedBy(kNoSuchProcess);
    EXPECT_CALL(backend, stopInstance(_)).Times(AnyNumber());
    EXPECT_CALL(backend, stopInstance(id)).WillOnce(Return(StopResult{false, "StopSingBoxInstance failed. Result: 5"}));
    server.startOwnerWatcher();
    ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners().empty(); }));
    waitForAScan();
}

TEST_F(OwnerWatcher, StoppingAndRestartingKeepsTheTable) {
    server.stopOwnerWatcher();  // never started: only sets the flag
    const std::int32_t id = startOwnedBy(kNoSuchProcess);
    EXPECT_CALL(backend, stopInstance(id));
    server.startOwnerWatcher();
    server.startOwnerWatcher();  // already running: nothing happens
    server.stopOwnerWatcher();
    server.startOwnerWatcher();  // a fresh thread, flag cleared, same entries
    ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners().empty(); }));
}

}  // namespace
}  // namespace velmora::vpn
