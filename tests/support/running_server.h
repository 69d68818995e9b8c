#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "support/test_platform.h"
#include "windows/singbox_named_pipe_server.h"

namespace velmora::vpn::testing {

// A pipe name no other test uses, in the Windows form (mapped to a socket
// path elsewhere).
inline std::wstring uniquePipeName() {
    static std::atomic<int> counter{0};
    return L"\\\\.\\pipe\\velmora-test-" + std::to_wstring(currentProcessId()) + L"-" + std::to_wstring(++counter);
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

// A pipe server running `run` on a thread of its own, stopped and joined when
// the object goes.
class RunningServer {
public:
    RunningServer(SingBoxBackend& backend, SingBoxNamedPipeServer::LogCallback log,
                  PipeServerSettings settings = fastSettings(), std::wstring pipeName = uniquePipeName())
        : server_(std::move(pipeName), backend, std::move(log), settings), thread_([this] { server_.run(stop_); }) {}
    ~RunningServer() { stop(); }
    RunningServer(const RunningServer&) = delete;
    RunningServer& operator=(const RunningServer&) = delete;

    void stop() {
        stop_.exchange(true);
        if (thread_.joinable()) thread_.join();
    }
    const std::wstring& pipeName() const { return server_.pipeName(); }

private:
    std::atomic<bool> stop_{false};
    SingBoxNamedPipeServer server_;
    std::thread thread_;
};

}  // namespace velmora::vpn::testing
