// What hostile clients cost: resident memory while 40 connections each
// announce a 16 MiB body and send nothing, and the median ping of a client
// that behaves during that attack. Prints "name value unit" lines.
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "bench_platform.h"
#include "bench_report.h"
#include "client_connection.h"
#include "pipe_client.h"
#include "protocol/pipe_framing.h"
#include "windows/singbox_named_pipe_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace velmora::vpn;

class NullBackend : public SingBoxBackend {
public:
    StartResult startInstance(const std::string&) override { return {true, 1, {}}; }
    StopResult stopInstance(std::int32_t) override { return {true, {}}; }
    StopResult stopAllInstances() override { return {true, {}}; }
};

}  // namespace

int main(int argc, char** argv) {
    const int attackers = argc > 1 ? std::atoi(argv[1]) : 40;
    const int pings = argc > 2 ? std::atoi(argv[2]) : 200;
    NullBackend backend;
    std::atomic<bool> stop{false};
    const std::wstring pipe =
        L"\\\\.\\pipe\\velmora-bench-hostile-" + std::to_wstring(Clock::now().time_since_epoch().count());
    SingBoxNamedPipeServer server(pipe, backend, nullptr);
    std::thread serving([&] { server.run(stop); });
    const std::string ping = R"({"command":"ping"})";
    velmora::client::sendRequest(pipe, ping);

    const double before = static_cast<double>(velmora::bench::processResidentBytes());
    std::vector<std::unique_ptr<velmora::client::ClientConnection>> held;
    for (int i = 0; i < attackers; ++i) {
        held.push_back(std::make_unique<velmora::client::ClientConnection>());
        std::string error;
        held.back()->connect(pipe, std::chrono::milliseconds(30000), error);
        const unsigned char announce[4] = {0x00, 0x00, 0x00, 0x01};  // 16 MiB, never sent
        writeExact(held.back()->handle(), announce, sizeof announce, error);
    }
    std::vector<double> latencies;
    for (int i = 0; i < pings; ++i) {
        const Clock::time_point start = Clock::now();
        velmora::client::sendRequest(pipe, ping);
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const double after = static_cast<double>(velmora::bench::processResidentBytes());
    velmora::bench::report("hostile_40x16MiB_resident", (after - before) / (1024.0 * 1024.0), "MiB more");
    velmora::bench::report("hostile_ping_p50", velmora::bench::percentile(latencies, 0.5), "us");
    held.clear();
    stop = true;
    serving.join();
    return 0;
}
