#include "support/prelude.h"

#include "backend/singbox_in_process_backend.h"

namespace velmora::vpn {
namespace {

std::string scripted(const std::string& standin, std::uint16_t port = 0) {
    std::string config = R"({"standin":{)" + standin + "}";
    if (port != 0) config += R"(,"inbounds":[{"type":"mixed","listen_port":)" + std::to_string(port) + "}]";
    return config + "}";
}

// An instance listens until a stop succeeds (refused ones keep it), one that
// ended by itself stays registered until stopped, stopping again or what never
// ran succeeds, and what still runs when the backend goes is stopped.
TEST(InProcessBackend, AnInstanceRunsUntilAStopSucceedsOrTheBackendGoes) {
    const std::uint16_t port = testing::freeTcpPort(), left = testing::freeTcpPort();
    {
        SingBoxInProcessBackend backend({.startWaitMilliseconds = 5000});  // the stand-in, loaded for real
        const StartResult started = backend.startInstance(scripted(R"("stopResult":5,"stopRefusals":2)", port));
        ASSERT_TRUE(started.ok && started.instanceId >= 0 && started.error.empty()) << started.error;
        for (int refusal = 0; refusal < 2; ++refusal) {
            EXPECT_EQ(backend.stopInstance(started.instanceId).error, "StopSingBoxInstance failed. Result: 5");
            EXPECT_TRUE(testing::tcpPortAccepts(port));
        }
        EXPECT_TRUE(backend.stopInstance(started.instanceId).ok);
        EXPECT_FALSE(testing::tcpPortAccepts(port));
        EXPECT_TRUE(backend.stopInstance(started.instanceId).ok);
        EXPECT_TRUE(backend.stopInstance(12345).ok);
        const StartResult ending = backend.startInstance(scripted(R"("runForMs":50)", port));
        ASSERT_TRUE(ending.ok);
        ASSERT_TRUE(testing::waitUntil([&] { return !testing::tcpPortAccepts(port); }));
        EXPECT_TRUE(backend.stopInstance(ending.instanceId).ok);
        ASSERT_TRUE(backend.startInstance(scripted("", left)).ok);
        EXPECT_TRUE(testing::tcpPortAccepts(left));
    }
    EXPECT_FALSE(testing::tcpPortAccepts(left));
}

// Every way a start can fail (too slow to come up, a failure state, a port
// taken), with the id and text it reports; none leaves an instance
// registered, and the instance already running is untouched.
TEST(InProcessBackend, FailedStartsReportTheirCauseAndLeaveNothingRegistered) {
    SingBoxInProcessBackend backend({.startWaitMilliseconds = 1000});
    const std::uint16_t port = testing::freeTcpPort();
    const StartResult zero = backend.startInstance(scripted(R"("fixedId":0)", port));
    ASSERT_TRUE(zero.ok && zero.instanceId == 0) << zero.error;
    // Each case: the configuration, then the id and the text the failure reports.
    const std::tuple<std::string, std::int32_t, std::string> cases[] = {
        {scripted(R"("createResult":-7)"), -7, "CreateSingBoxInstance failed"},
        {"this is not a configuration", -1, "CreateSingBoxInstance failed"},
        {scripted(R"("fixedId":0)"), 0, "Instance id already exists"},
        {scripted(R"("fixedId":11,"startDelayMs":60000)"), 11, "sing-box did not come up. State: 0"},
        {scripted(R"("fixedId":12,"startState":2)"), 12, "sing-box did not come up. State: 2"},
        {scripted(R"("fixedId":13,"startState":-1)"), 13, "sing-box did not come up. State: -1"},
        {scripted(R"("fixedId":14)", port), 14, "sing-box did not come up. State: 2"},  // the port is taken
    };
    for (const auto& [config, id, error] : cases) {
        const StartResult failed = backend.startInstance(config);
        EXPECT_FALSE(failed.ok);
        EXPECT_EQ(failed.instanceId, id) << config;
        EXPECT_EQ(failed.error, error) << config;
        EXPECT_TRUE(failed.instanceId <= 0 || backend.stopInstance(failed.instanceId).ok);  // changes nothing
    }
    EXPECT_TRUE(testing::tcpPortAccepts(port));
    EXPECT_TRUE(backend.stopInstance(0).ok);
    EXPECT_FALSE(testing::tcpPortAccepts(port));
}

}  // namespace
}  // namespace velmora::vpn
