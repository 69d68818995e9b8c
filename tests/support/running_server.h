#pragma once

#include "bench_support.h"

#include "support/test_platform.h"

namespace velmora::vpn::testing {

// A pipe name no other test uses, in the Windows form (mapped to a socket
// path elsewhere).
inline std::wstring uniquePipeName() {
    static std::atomic<int> counter{0};
    return L"\\\\.\\pipe\\velmora-test-" + std::to_wstring(platform::currentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

// Timings short enough for tests.
inline PipeServerSettings fastSettings() {
    PipeServerSettings settings;
    settings.connectPollInterval = std::chrono::milliseconds(5);
    settings.createRetryPause = std::chrono::milliseconds(20);
    settings.clientWaitLimit = std::chrono::milliseconds(2000);
    settings.ownerPollInterval = std::chrono::milliseconds(20);
    return settings;
}

// A pipe server on a thread of its own with the tests' timings, stopped and
// joined when the object goes.
class RunningServer : public bench::ServerOnThread {
public:
    RunningServer(SingBoxBackend& backend, SingBoxNamedPipeServer::LogCallback log,
                  PipeServerSettings settings = fastSettings(), std::wstring pipeName = uniquePipeName())
        : ServerOnThread(std::move(pipeName), backend, std::move(log), settings) {}
};

}  // namespace velmora::vpn::testing
