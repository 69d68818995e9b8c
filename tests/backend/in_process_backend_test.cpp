#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "backend/singbox_in_process_backend.h"
#include "support/test_platform.h"

namespace velmora::vpn {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// The stand-in engine, loaded for real, with a start wait short enough for tests.
BackendSettings standinSettings(std::int32_t startWaitMs = 5000) {
    BackendSettings settings;
    settings.startWaitMilliseconds = startWaitMs;
    return settings;
}

std::string scripted(const std::string& standin, std::uint16_t port = 0) {
    std::string config = R"({"standin":{)" + standin + "}";
    if (port != 0) config += R"(,"inbounds":[{"type":"mixed","listen_port":)" + std::to_string(port) + "}]";
    return config + "}";
}

TEST(InProcessBackend, AnInstanceListensWhileItRunsAndStopsListeningWhenStoppedOrDestroyed) {
    const std::uint16_t port = testing::freeTcpPort();
    const std::uint16_t left = testing::freeTcpPort();
    {
        SingBoxInProcessBackend backend(standinSettings());
        const StartResult started = backend.startInstance(scripted("", port));
        ASSERT_TRUE(started.ok) << started.error;
        EXPECT_GE(started.instanceId, 0);
        EXPECT_TRUE(started.error.empty());
        EXPECT_TRUE(testing::tcpPortAccepts(port));

        const StopResult stopped = backend.stopInstance(started.instanceId);
        EXPECT_TRUE(stopped.ok);
        EXPECT_FALSE(testing::tcpPortAccepts(port));
        // Stopping is idempotent, and so is stopping what never existed.
        EXPECT_TRUE(backend.stopInstance(started.instanceId).ok);
        EXPECT_TRUE(backend.stopInstance(12345).ok);
        // What still runs when the backend goes is stopped.
        ASSERT_TRUE(backend.startInstance(scripted("", left)).ok);
        EXPECT_TRUE(testing::tcpPortAccepts(left));
    }
    EXPECT_FALSE(testing::tcpPortAccepts(left));
}

TEST(InProcessBackend, FailedCreatesReportTheEnginesNegativeResult) {
    SingBoxInProcessBackend backend(standinSettings());
    const StartResult scriptedFailure = backend.startInstance(scripted(R"("createResult":-7)"));
    EXPECT_FALSE(scriptedFailure.ok);
    EXPECT_EQ(scriptedFailure.instanceId, -7);
    EXPECT_EQ(scriptedFailure.error, "CreateSingBoxInstance failed");

    const StartResult notJson = backend.startInstance("this is not a configuration");
    EXPECT_EQ(notJson.instanceId, -1);
    EXPECT_EQ(notJson.error, "CreateSingBoxInstance failed");
}

TEST(InProcessBackend, IdZeroIsAnOrdinaryIdAndADuplicateIdIsRefused) {
    SingBoxInProcessBackend backend(standinSettings());
    const std::uint16_t port = testing::freeTcpPort();
    const StartResult zero = backend.startInstance(scripted(R"("fixedId":0)", port));
    ASSERT_TRUE(zero.ok) << zero.error;
    EXPECT_EQ(zero.instanceId, 0);

    const StartResult duplicate = backend.startInstance(scripted(R"("fixedId":0)"));
    EXPECT_FALSE(duplicate.ok);
    EXPECT_EQ(duplicate.instanceId, 0);
    EXPECT_EQ(duplicate.error, "Instance id already exists");
    // The registered instance is untouched.
    EXPECT_TRUE(testing::tcpPortAccepts(port));
    EXPECT_TRUE(backend.stopInstance(0).ok);
    EXPECT_FALSE(testing::tcpPortAccepts(port));
}

TEST(InProcessBackend, InstancesThatDoNotComeUpLeaveNothingRegistered) {
    SingBoxInProcessBackend backend(standinSettings(1000));
    // Too slow for the wait: state 0, and the backend stops it.
    const StartResult slow = backend.startInstance(scripted(R"("startDelayMs":60000)"));
    EXPECT_FALSE(slow.ok);
    EXPECT_EQ(slow.error, "sing-box did not come up. State: 0");

    // A failure state: no stop call, the instance ends by itself.
    const StartResult failed = backend.startInstance(scripted(R"("startState":2)"));
    EXPECT_EQ(failed.error, "sing-box did not come up. State: 2");
    const StartResult negative = backend.startInstance(scripted(R"("startState":-1)"));
    EXPECT_EQ(negative.error, "sing-box did not come up. State: -1");

    // A port that is taken makes the instance fail with state 2.
    const std::uint16_t port = testing::freeTcpPort();
    ASSERT_TRUE(backend.startInstance(scripted("", port)).ok);
    const StartResult clash = backend.startInstance(scripted("", port));
    EXPECT_EQ(clash.error, "sing-box did not come up. State: 2");

    // A stop of a failed start's id changes nothing and succeeds.
    EXPECT_TRUE(backend.stopInstance(failed.instanceId).ok);
}

TEST(InProcessBackend, ARefusedStopKeepsTheInstanceUntilAStopSucceeds) {
    SingBoxInProcessBackend backend(standinSettings());
    const std::uint16_t port = testing::freeTcpPort();
    const StartResult started = backend.startInstance(scripted(R"("stopResult":5,"stopRefusals":2)", port));
    ASSERT_TRUE(started.ok);
    for (int refusal = 0; refusal < 2; ++refusal) {
        const StopResult refused = backend.stopInstance(started.instanceId);
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.error, "StopSingBoxInstance failed. Result: 5");
        EXPECT_TRUE(testing::tcpPortAccepts(port));
    }
    EXPECT_TRUE(backend.stopInstance(started.instanceId).ok);
    EXPECT_FALSE(testing::tcpPortAccepts(port));
}

TEST(InProcessBackend, StopAllEndsRunningInstancesAndOneStillComingUp) {
    SingBoxInProcessBackend backend(standinSettings());
    std::uint16_t ports[3];
    for (std::uint16_t& port : ports) {
        port = testing::freeTcpPort();
        // Refusals do not hold back a stop-all.
        ASSERT_TRUE(backend.startInstance(scripted(R"("stopResult":9,"stopRefusals":100)", port)).ok);
    }
    auto slowStart =
        std::async(std::launch::async, [&] { return backend.startInstance(scripted(R"("startDelayMs":4000)")); });
    // Stop-all takes only what is registered; repeat until the slow start has been caught.
    while (slowStart.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        EXPECT_TRUE(backend.stopAllInstances().ok);
    }
    EXPECT_EQ(slowStart.get().error, "sing-box did not come up. State: 0");
    for (std::uint16_t port : ports) EXPECT_FALSE(testing::tcpPortAccepts(port));
    // With nothing registered, stop-all still succeeds.
    EXPECT_TRUE(backend.stopAllInstances().ok);
}

// Starts keep registering instances while stop-alls run: each stop-all must
// reach every instance whose record it takes, or it waits for a run thread
// that never ends. Each call gets 2 s; a call past that is released by one
// more stop-all, so the failure is reported instead of hanging the suite.
TEST(InProcessBackend, StopAllRacingStartsNeverWaitsForAnInstanceItDidNotStop) {
    SingBoxInProcessBackend backend(standinSettings());
    std::atomic<bool> starting{true};
    auto starter = std::async(std::launch::async, [&] {
        while (starting) backend.startInstance(scripted(""));
    });
    int calls = 0;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
         std::chrono::steady_clock::now() < end; ++calls) {
        auto stopAll = std::async(std::launch::async, [&] { return backend.stopAllInstances(); });
        if (stopAll.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            ADD_FAILURE() << "stop-all " << calls << " still waits after 2 s";
            starting = false;
            starter.get();
            backend.stopAllInstances();
            break;
        }
        EXPECT_TRUE(stopAll.get().ok);
    }
    starting = false;
    starter.get();
    EXPECT_GT(calls, 10);
}

TEST(InProcessBackend, AnInstanceThatEndsByItselfStaysRegisteredUntilStopped) {
    SingBoxInProcessBackend backend(standinSettings());
    const std::uint16_t port = testing::freeTcpPort();
    const StartResult started = backend.startInstance(scripted(R"("runForMs":50)", port));
    ASSERT_TRUE(started.ok);
    while (testing::tcpPortAccepts(port)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(backend.stopInstance(started.instanceId).ok);
}

TEST(InProcessBackend, AMissingLibraryOrExportIsARuntimeError) {
    std::string partial = platform::engineLibraryFileName();
    partial.replace(partial.find("sing-box"), 8, "partial-engine");  // lacks StopAllSingBoxInstances
    const std::pair<std::string, std::string> cases[] = {
        {"no-such-engine-library", "(no-such-engine-library) failed"},
        {partial, "SingBoxInProcessBackend: required sing-box exports are missing"},
    };
    for (const auto& [library, message] : cases) {
        BackendSettings settings;
        settings.libraryFileName = library;
        EXPECT_THAT([&] { SingBoxInProcessBackend backend(settings); },
                    ::testing::ThrowsMessage<std::runtime_error>(HasSubstr(message)));
    }
}

}  // namespace
}  // namespace velmora::vpn
