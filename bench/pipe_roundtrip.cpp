// Pipe server benchmark: ping latency from connect to response with one
// client, 64 clients at once, a 16 MiB request, and the CPU an idle server
// uses. Runs the real server and real clients over the real pipe (a Unix
// domain socket on Linux); prints one "name value unit" line per figure.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "bench_platform.h"
#include "pipe_client.h"
#include "platform/text.h"
#include "windows/singbox_named_pipe_server.h"

#include "bench_report.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace velmora::vpn;
using velmora::bench::percentile;
using velmora::bench::report;

class NullBackend : public SingBoxBackend {
public:
    StartResult startInstance(const std::string&) override { return {true, 1, {}}; }
    StopResult stopInstance(std::int32_t) override { return {true, {}}; }
    StopResult stopAllInstances() override { return {true, {}}; }
};

const std::string kPing = R"({"command":"ping"})";
constexpr auto kTimeout = std::chrono::milliseconds(30000);

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int singleRounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int perClient = argc > 2 ? std::atoi(argv[2]) : 100;
    NullBackend backend;
    std::atomic<bool> stop{false};
    const std::wstring pipeName =
        L"\\\\.\\pipe\\velmora-bench-" + std::to_wstring(Clock::now().time_since_epoch().count());
    SingBoxNamedPipeServer server(pipeName, backend, nullptr);
    std::thread serving([&] { server.run(stop); });

    // Warm up: the first exchange waits for the server to listen.
    velmora::client::sendRequest(pipeName, kPing, kTimeout);

    std::vector<double> latencies;
    int lost = 0;
    for (int i = 0; i < singleRounds; ++i) {
        const Clock::time_point start = Clock::now();
        const auto exchange = velmora::client::sendRequest(pipeName, kPing, kTimeout);
        latencies.push_back(microsecondsSince(start));
        if (!exchange.delivered) ++lost;
    }
    report("ping_1client_p50", percentile(latencies, 0.5), "us");
    report("ping_1client_p99", percentile(latencies, 0.99), "us");
    double total = 0;
    for (const double latency : latencies) total += latency;
    report("ping_1client_rps", latencies.size() / (total / 1e6), "req/s");

    for (const int clients : {8, 64}) {
        std::atomic<int> answered{0};
        const Clock::time_point start = Clock::now();
        std::vector<std::future<void>> running;
        for (int c = 0; c < clients; ++c) {
            running.push_back(std::async(std::launch::async, [&] {
                for (int r = 0; r < perClient; ++r) {
                    if (velmora::client::sendRequest(pipeName, kPing, kTimeout).delivered) ++answered;
                }
            }));
        }
        for (auto& client : running) client.get();
        const double seconds = microsecondsSince(start) / 1e6;
        const std::string prefix = "ping_" + std::to_string(clients) + "clients_";
        report((prefix + "rps").c_str(), answered.load() / seconds, "req/s");
        report((prefix + "lost").c_str(), clients * perClient - answered.load(), "requests");
    }

    const std::string big =
        R"({"command":"start","payload":{"config":")" + std::string(16 * 1024 * 1024 - 64, 'x') + "\"}}";
    const Clock::time_point bigStart = Clock::now();
    const auto bigExchange = velmora::client::sendRequest(pipeName, big, kTimeout);
    report("start_16MiB_config", microsecondsSince(bigStart) / 1000, bigExchange.delivered ? "ms" : "ms (FAILED)");

    const auto cpuBefore = velmora::bench::processCpuTime();
    const Clock::time_point idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double idleCpu = static_cast<double>((velmora::bench::processCpuTime() - cpuBefore).count()) /
                           microsecondsSince(idleStart) * 100.0;
    report("idle_cpu", idleCpu, "% of one core");
    report("resident_memory", static_cast<double>(velmora::bench::processResidentBytes()) / (1024.0 * 1024.0), "MiB");

    stop = true;
    serving.join();
    report("ping_1client_lost", lost, "requests");
    return lost == 0 ? 0 : 1;
}
