// The product's own values, each pinned once as docs/operations.md gives it;
// every other test may run with shortened settings.
#include "support/prelude.h"

#include "backend/singbox_in_process_backend.h"
#include "platform/data_folder.h"
#include "platform/pipe_io.h"
#include "platform/process_memory.h"
#include "policy/config_policy.h"
#include "install/service_installer.h"
#include "runtime/runtime.h"
#include "runtime/service_logger.h"
#include "server/line_limiter.h"
#include "server/pipe_server_settings.h"

namespace velmora::vpn {
namespace {

// A result record that nobody filled in tells of nothing: no success, no
// privilege, no instance, no bytes. A path that forgets to fill one in fails
// safe.
TEST(ProductValues, RecordsNobodyFilledInTellOfNothing) {
    EXPECT_FALSE(platform::CallerIdentity{}.privileged || Admission{}.admitted || StartResult{}.ok || StopResult{}.ok ||
                 platform::IoCall{}.ok || platform::WholeMove{}.done || platform::FolderEntry{}.bytes != 0 ||
                 StartResult{}.instanceId != -1);
}

TEST(ProductValues, AreTheDocumentedOnes) {
    const PipeServerSettings server;
    const BackendSettings backend;
    const std::tuple<const char*, long long, long long> values[] = {
        {"poll for a client, ms", server.connectPollInterval.count(), 50},
        {"pause after a failed endpoint, ms", server.createRetryPause.count(), 500},
        {"wait for client threads at a stop, ms", server.clientWaitLimit.count(), 60000},
        {"owner scan interval, ms", server.ownerPollInterval.count(), 1000},
        {"connections served at once", server.maxClients, 64},
        {"connections of one ordinary user", server.maxConnectionsPerUser, 8},
        {"places kept for privileged callers", server.privilegedPlaces, 8},
        {"instances of one ordinary user", server.maxInstancesPerUser, 16},
        {"instances of ordinary users together", server.maxOrdinaryInstances, 48},
        {"request deadline, ms", server.requestDeadline.count(), 10000},
        {"client thread stack, bytes", static_cast<long long>(server.clientStackBytes), 256 * 1024},
        {"freed blocks returned at once from, bytes", static_cast<long long>(platform::kReturnedBlockBytes), 256 << 10},
        {"lines about single connections a second", server.connectionLinesPerSecond, 5},
        {"lines about instances a second", server.instanceLinesPerSecond, 20},
        {"bytes of a user's instance lines a second", static_cast<long long>(server.instanceBytesPerSecond), 1024},
        {"bytes of all users' instance lines a second", static_cast<long long>(server.ordinaryBytesPerSecond), 2048},
        {"bytes of a caller's text in a log line", static_cast<long long>(server.callerTextInLine), 200},
        {"bytes a log line takes beyond its message", static_cast<long long>(UserLineLimiters::kLineOverhead), 22},
        {"a repeating failure summed up every, ms", server.failureSummaryInterval.count(), 60000},
        {"log file size before it is rotated, bytes", static_cast<long long>(kLogFileCap), 8 << 20},
        {"large requests at once", server.maxLargeRequests, 2},
        {"memory for one request's parse, bytes", static_cast<long long>(server.maxParseBytes), 64 << 20},
        {"wait for an engine instance to come up, ms", backend.startWaitMilliseconds, 15000},
        {"wait for the service to stop, ms", kStopWaitMs, 60000},
        {"its status polled every, ms", kStopPollMs, 200},
        {"wait for an old registration to go, ms", kDeletionWaitMs, 30000},
        {"its presence polled every, ms", kDeletionPollMs, 250},
        {"exit code after a fatal error", kFatalExitCode, 1066},
        {"restart after a first failure, ms", kRecoveryRestartDelaysMs[0], 2000},
        {"restart after a second failure, ms", kRecoveryRestartDelaysMs[1], 10000},
        {"restart after every later failure, ms", kRecoveryRestartDelaysMs[2], 60000},
        {"restart actions", static_cast<long long>(std::size(kRecoveryRestartDelaysMs)), 3},
        {"failures forgotten after, s", kRecoveryResetSeconds, 86400},
        {"a non-zero exit code counts as a failure", kRecoveryAfterNonZeroExit, 1},
        {"preshutdown wait, ms", kPreshutdownTimeoutMs, 75000},
        {"listeners in an ordinary caller's configuration", server.policy.maxListenersPerStart, 16},
        {"listeners of one ordinary user's instances", server.policy.maxListenersPerUser, 32},
        {"descriptors kept for the service", static_cast<long long>(server.policy.descriptorReserve), 256},
        {"cache files of one ordinary user", server.policy.maxCacheFiles, 8},
        {"bytes of one ordinary user's cache files", static_cast<long long>(server.policy.maxCacheBytes), 64 << 20},
        {"bytes of a cache id", static_cast<long long>(server.policy.maxCacheIdBytes), 64},
        {"ports below 1024 refused", server.policy.refuseLowPorts, testing::programFileName("x") == "x"},
    };
    for (const auto& [name, value, documented] : values) EXPECT_EQ(value, documented) << name;
    EXPECT_EQ(backend.libraryFileName, testing::programFileName("x") == "x" ? "libsing-box.so" : "sing-box.dll");
    EXPECT_EQ(kDefaultPipeName, L"\\\\.\\pipe\\VelmoraVpnService");
    EXPECT_EQ(server.policy.trustedGroup, std::nullopt);
    EXPECT_EQ(kTrustedGroupSetting.file, "/etc/velmora-vpn/trusted-group");
    EXPECT_EQ(kTrustedGroupSetting.registryKey, "SYSTEM\\CurrentControlSet\\Services\\VelmoraVpnService\\Parameters");
    EXPECT_EQ(kTrustedGroupSetting.registryValue, "TrustedGroup");
    EXPECT_TRUE(server.policy.dataFolder == "/var/lib/velmora-vpn" ||
                server.policy.dataFolder.ends_with(":\\ProgramData\\VelmoraVpnService"))
        << server.policy.dataFolder;

    // Each startup mode's start type (2 automatic, 3 on demand, 4 disabled)
    // and delayed-start flag (-1: the flag is not set at all).
    const std::tuple<std::wstring, std::uint32_t, int> modes[] = {
        {L"delayed-auto", 2, 1}, {L"auto", 2, 0},     {L"demand", 3, -1},     {L"manual", 3, -1},
        {L"disabled", 4, -1},    {L"Disabled", 2, 0}, {std::wstring{}, 2, 0},
    };
    for (const auto& [mode, startType, delayed] : modes) {
        const ServiceStartup startup = serviceStartupFor(mode);
        EXPECT_EQ(startup.startType, startType) << platform::toUtf8(mode);
        EXPECT_EQ(startup.delayedAutoStart ? static_cast<int>(*startup.delayedAutoStart) : -1, delayed)
            << platform::toUtf8(mode);
    }
}

}  // namespace
}  // namespace velmora::vpn
