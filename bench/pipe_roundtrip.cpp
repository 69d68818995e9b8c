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
#include "bench_support.h"
#include "pipe_client.h"

namespace {

using namespace velmora::bench;

const std::string kPing = R"({"command":"ping"})";
constexpr auto kTimeout = std::chrono::milliseconds(30000);

}  // namespace

int main(int argc, char** argv) {
    const int singleRounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int perClient = argc > 2 ? std::atoi(argv[2]) : 100;
    NullBackend backend;
    ServerOnThread server(freshPipeName("roundtrip"), backend, nullptr);
    const std::wstring& pipeName = server.pipeName();

    // Warm up: the first exchange waits for the server to listen.
    velmora::client::sendRequest(pipeName, kPing, kTimeout);

    std::vector<double> latencies;
    int lost = 0;
    for (int i = 0; i < singleRounds; ++i) {
        const Clock::time_point start = Clock::now();
        const auto exchange = velmora::client::sendRequest(pipeName, kPing, kTimeout);
        latencies.push_back(elapsed<std::micro>(start));
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
        const double seconds = elapsed<std::micro>(start) / 1e6;
        const std::string prefix = "ping_" + std::to_string(clients) + "clients_";
        report((prefix + "rps").c_str(), answered.load() / seconds, "req/s");
        report((prefix + "lost").c_str(), clients * perClient - answered.load(), "requests");
    }

    const std::string big =
        R"({"command":"start","payload":{"config":")" + std::string(16 * 1024 * 1024 - 64, 'x') + "\"}}";
    const Clock::time_point bigStart = Clock::now();
    const auto bigExchange = velmora::client::sendRequest(pipeName, big, kTimeout);
    report("start_16MiB_config", elapsed<std::micro>(bigStart) / 1000, bigExchange.delivered ? "ms" : "ms (FAILED)");

    const auto cpuBefore = velmora::bench::processCpuTime();
    const Clock::time_point idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double idleCpu = static_cast<double>((velmora::bench::processCpuTime() - cpuBefore).count()) /
                           elapsed<std::micro>(idleStart) * 100.0;
    report("idle_cpu", idleCpu, "% of one core");
    report("resident_memory", static_cast<double>(velmora::bench::processResidentBytes()) / (1024.0 * 1024.0), "MiB");

    server.stop();
    report("ping_1client_lost", lost, "requests");
    return lost == 0 ? 0 : 1;
}
