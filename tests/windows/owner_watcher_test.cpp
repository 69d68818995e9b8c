#include "support/prelude.h"

#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn {
namespace {

constexpr std::uint32_t kNoSuchProcess = 0x7FFFFFF0u;

class OwnerWatcher : public ::testing::Test {
protected:
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    SingBoxNamedPipeServer server{L"", backend, logs.callback(), testing::fastSettings()};

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
};

// Owners that exited, were killed or never existed lose their instances, each
// stopped once; this process and a living child keep theirs.
TEST_F(OwnerWatcher, InstancesOfEndedOwnersAreStoppedOnceAndLiveOwnersStayWatched) {
    testing::SiblingProcess exiting("test_child", {"50"});
    testing::SiblingProcess killed("test_child", {});
    testing::SiblingProcess living("test_child", {});
    const std::uint32_t self = testing::currentProcessId();
    const std::pair<std::int32_t, std::uint32_t> gone[] = {{startOwnedBy(exiting.id()), exiting.id()},
                                                           {startOwnedBy(exiting.id()), exiting.id()},
                                                           {startOwnedBy(killed.id()), killed.id()},
                                                           {startOwnedBy(kNoSuchProcess), kNoSuchProcess}};
    const Owners live{{startOwnedBy(self), self}, {startOwnedBy(living.id()), living.id()}};
    EXPECT_CALL(backend, stopInstance(_)).Times(::testing::AnyNumber());  // the scan markers
    for (const auto& [instance, owner] : gone) EXPECT_CALL(backend, stopInstance(instance));
    for (const auto& [instance, owner] : live) EXPECT_CALL(backend, stopInstance(instance)).Times(0);
    server.startOwnerWatcher();

    exiting.wait();
    killed.kill();
    ASSERT_TRUE(testing::waitUntil([&] { return server.watchedOwners() == live; }));
    waitForAScan();
    waitForAScan();
    server.stopOwnerWatcher();
    EXPECT_EQ(server.watchedOwners(), live);
    for (const auto& [instance, owner] : gone) {
        EXPECT_THAT(logs.lines(), Contains("Owner process " + std::to_string(owner) +
                                           " is gone; stopping sing-box instance " + std::to_string(instance)));
    }
}

}  // namespace
}  // namespace velmora::vpn
