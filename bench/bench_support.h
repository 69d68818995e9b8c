#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "windows/singbox_named_pipe_server.h"

// What the bench programs share, and the limit and pipe tests with them: the
// figures' line format, a backend that answers at once, and a pipe server
// running on a thread of its own.
namespace velmora::bench {

using Clock = std::chrono::steady_clock;

inline double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// One figure as "name value unit", the line format bench/run collects.
inline void report(const char* name, double value, const char* unit) {
    std::printf("%-28s %12.1f %s\n", name, value, unit);
}

// Time since `start` in the unit asked for, e.g. elapsed<std::micro>(start).
template <typename Unit>
double elapsed(Clock::time_point start) {
    return std::chrono::duration<double, Unit>(Clock::now() - start).count();
}

// A pipe name no earlier run has used, in the Windows form.
inline std::wstring freshPipeName(const std::string& what) {
    return L"\\\\.\\pipe\\velmora-bench-" + std::wstring(what.begin(), what.end()) + L"-" +
           std::to_wstring(Clock::now().time_since_epoch().count());
}

// Every instance starts and stops at once: the server's own cost alone.
class NullBackend : public vpn::SingBoxBackend {
public:
    vpn::StartResult startInstance(const std::string&) override { return {true, 1, {}}; }
    vpn::StopResult stopInstance(std::int32_t) override { return {true, {}}; }
    vpn::StopResult stopAllInstances() override { return {true, {}}; }
};

// A pipe server running `run` on a thread of its own, stopped and joined when
// the object goes.
class ServerOnThread {
public:
    ServerOnThread(std::wstring pipeName, vpn::SingBoxBackend& backend, vpn::SingBoxNamedPipeServer::LogCallback log,
                   vpn::PipeServerSettings settings = {})
        : server_(std::move(pipeName), backend, std::move(log), settings), thread_([this] { server_.run(stop_); }) {}
    ~ServerOnThread() { stop(); }
    ServerOnThread(const ServerOnThread&) = delete;
    ServerOnThread& operator=(const ServerOnThread&) = delete;

    // Raises the stop flag and waits for `run` to return.
    void stop() {
        stop_.exchange(true);
        if (thread_.joinable()) thread_.join();
    }
    const std::wstring& pipeName() const { return server_.pipeName(); }

private:
    std::atomic<bool> stop_{false};
    vpn::SingBoxNamedPipeServer server_;
    std::thread thread_;
};

// What a desktop client starts: a tunnel, a local proxy listener on
// `mixedPort`, a proxy outbound over WebSocket, DNS over HTTPS, a rule on a
// program's path, remote and inline rule sets, the cache file without a path
// and the controller on loopback with a secret. An ordinary caller may start
// it as it is.
inline std::string desktopConfiguration(std::uint16_t mixedPort) {
    return R"({"log":{"level":"info"},"inbounds":[{"type":"tun","address":["172.19.0.1/30"],"auto_route":true},)"
           R"({"type":"mixed","listen":"127.0.0.1","listen_port":)" +
           std::to_string(mixedPort) +
           R"(}],"outbounds":[{"type":"vless","server":"198.51.100.1","server_port":443,)"
           R"("transport":{"type":"ws","path":"/ws"}},{"type":"http","server":"198.51.100.2","path":"/proxy"},)"
           R"({"type":"direct","tag":"direct"}],)"
           R"("dns":{"servers":[{"type":"https","server":"1.1.1.1","path":"/dns-query"}]},)"
           R"("route":{"rules":[{"process_path":["/usr/bin/ssh"],"outbound":"direct"}],)"
           R"("rule_set":[{"type":"remote","tag":"ads","url":"https://rules.example/ads.srs"},)"
           R"({"type":"inline","tag":"lan","rules":[{"ip_cidr":["192.168.0.0/16"]}]}]},)"
           R"("experimental":{"cache_file":{"enabled":true},)"
           R"("clash_api":{"external_controller":"127.0.0.1:9090","secret":"s3cret"}}})";
}

}  // namespace velmora::bench
