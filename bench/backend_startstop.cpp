// Engine backend benchmark: start plus stop of one stand-in instance with no
// start delay, through the real dynamic library; and how soon the owner
// watcher, at the product's one-second scan, stops an instance whose owner is
// gone. Prints "name value unit" lines.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "backend/singbox_in_process_backend.h"

#include "bench_support.h"

namespace {

using namespace velmora::vpn;
using namespace velmora::bench;

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int ownerTrials = argc > 2 ? std::atoi(argv[2]) : 5;
    SingBoxInProcessBackend backend;

    std::vector<double> pairs;
    for (int i = 0; i < rounds; ++i) {
        const Clock::time_point start = Clock::now();
        const StartResult started = backend.startInstance("{}");
        backend.stopInstance(started.instanceId);
        pairs.push_back(elapsed<std::micro>(start));
        if (!started.ok) return 1;
    }
    report("start_stop_p50", percentile(pairs, 0.5), "us");
    report("start_stop_p99", percentile(pairs, 0.99), "us");

    // An owner id no process has is gone at the first scan: the time to its
    // stop is the watcher's whole latency, from a random point in its cycle.
    SingBoxNamedPipeServer server(L"", backend, nullptr);
    server.startOwnerWatcher();
    double worst = 0;
    for (int trial = 0; trial < ownerTrials; ++trial) {
        const Clock::time_point start = Clock::now();
        server.handleRequest(R"({"command":"start","payload":{"config":"{}","ownerProcessId":2147483632}})");
        while (!server.watchedOwners().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        worst = std::max(worst, elapsed<std::milli>(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(137));  // a different phase each trial
    }
    server.stopOwnerWatcher();
    report("owner_gone_to_stop_max", worst, "ms");
    return 0;
}
