// Our pipe server against its floor, in one run: a bare thread-per-connection
// server with the same framing and the same operating-system layer (and its
// client threads on 256 KiB stacks), but no request handling, no client book
// and no logging. One load generator drives both with 1, 8 and 64 clients
// (connect, one ping frame, read the answer, close). A ratio measured in one
// run holds on a noisy machine where an absolute figure does not.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "pipe_client.h"
#include "platform/detached_thread.h"
#include "platform/pipe_endpoint.h"
#include "protocol/pipe_framing.h"

namespace {

using namespace velmora::vpn;
using velmora::bench::Clock;

const std::string kPing = R"({"command":"ping"})";
const std::string kPong = R"({"version":1,"ok":true,"payload":{"status":"ok"}})";

// The floor: accept, hand the connection to a new detached thread, read one
// frame, answer it, disconnect.
void runBareServer(const std::wstring& pipe, std::atomic<bool>& stop) {
    platform::PipeListener listener(pipe);
    platform::SystemError error;
    while (!stop) {
        if (!listener.createInstance(error)) continue;
        platform::OwnedHandle connection;
        while (!stop &&
               listener.poll(std::chrono::milliseconds(50), connection, error) != platform::PollOutcome::connected) {
        }
        if (stop) break;
        const bool started = platform::startDetachedThread(
            [pipe = connection.release()] {
                platform::PipeConnection owned{platform::OwnedHandle(pipe)};
                owned.makeBlocking();
                std::string request;
                std::string failure;
                if (readMessage(owned.handle(), request, failure)) {
                    writeMessage(owned.handle(), kPong.data(), kPong.size(), failure);
                }
                owned.flushAndDisconnect();
            },
            256 * 1024, error);
        if (!started) std::abort();
    }
}

struct Figures {
    double p50 = 0;
    double p99 = 0;
    double rps = 0;
};

Figures drive(const std::wstring& pipe, int clients, std::chrono::milliseconds length) {
    std::vector<std::future<std::vector<double>>> running;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + length;
    for (int c = 0; c < clients; ++c) {
        running.push_back(std::async(std::launch::async, [&] {
            std::vector<double> latencies;
            while (Clock::now() < end) {
                const Clock::time_point sent = Clock::now();
                if (velmora::client::sendRequest(pipe, kPing).response != kPong) std::abort();
                latencies.push_back(velmora::bench::elapsed<std::micro>(sent));
            }
            return latencies;
        }));
    }
    std::vector<double> all;
    for (auto& client : running) {
        const auto latencies = client.get();
        all.insert(all.end(), latencies.begin(), latencies.end());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return {velmora::bench::percentile(all, 0.5), velmora::bench::percentile(all, 0.99), all.size() / seconds};
}

}  // namespace

int main(int argc, char** argv) {
    const std::chrono::milliseconds length(argc > 1 ? std::atoi(argv[1]) : 2000);
    velmora::bench::NullBackend backend;
    std::atomic<bool> stop{false};
    const std::wstring bare = velmora::bench::freshPipeName("floor-bare");
    velmora::bench::ServerOnThread server(velmora::bench::freshPipeName("floor-ours"), backend, nullptr);
    const std::wstring& ours = server.pipeName();
    std::thread floor([&] { runBareServer(bare, stop); });
    velmora::client::sendRequest(ours, kPing);
    velmora::client::sendRequest(bare, kPing);

    for (const int clients : {1, 8, 64}) {
        // Alternate the two, so that neither always runs on a warmer machine.
        const Figures floorFigures = drive(bare, clients, length);
        const Figures ourFigures = drive(ours, clients, length);
        const std::string prefix = "floor_" + std::to_string(clients) + "clients_";
        velmora::bench::report((prefix + "bare_p50").c_str(), floorFigures.p50, "us");
        velmora::bench::report((prefix + "ours_p50").c_str(), ourFigures.p50, "us");
        velmora::bench::report((prefix + "bare_p99").c_str(), floorFigures.p99, "us");
        velmora::bench::report((prefix + "ours_p99").c_str(), ourFigures.p99, "us");
        velmora::bench::report((prefix + "bare_rps").c_str(), floorFigures.rps, "req/s");
        velmora::bench::report((prefix + "ours_rps").c_str(), ourFigures.rps, "req/s");
        velmora::bench::report((prefix + "ratio_rps").c_str(), 100 * ourFigures.rps / floorFigures.rps,
                               "% of the floor");
        velmora::bench::report((prefix + "ratio_p50").c_str(), 100 * ourFigures.p50 / floorFigures.p50,
                               "% of the floor");
    }
    server.stop();
    stop = true;
    floor.join();
    return 0;
}
