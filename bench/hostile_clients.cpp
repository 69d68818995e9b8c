// What hostile local clients cost the service, one attack at a time, each run
// by bench/hostile_attacker in a process of its own (so the memory figures are
// the server's), as an ordinary user where the benchmark may start one (as
// root on Linux: user 65534) and as the benchmark's own user elsewhere: the
// server's resident memory at its peak above where it
// started, how long an honest client's ping takes meanwhile (and how many
// got no answer within 15 s), how long an orderly stop takes with the attack
// still on, and how fast the log grows. Prints "name value unit" lines.
//   hostile_clients [ID_LENGTH [ATTACK...]]
// ID_LENGTH is the length of the echoed id of the unread attack (230000
// unless given); ATTACKs name the attacks to run (all unless given).
#include <algorithm>
#include <atomic>
#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_platform.h"
#include "bench_support.h"
#include "pipe_client.h"
#include "platform/executable_path.h"
#include "platform/process_memory.h"
#include "platform/text.h"
#include "runtime/service_logger.h"

namespace {

using namespace velmora::vpn;
using namespace velmora::bench;
namespace fs = std::filesystem;

constexpr auto kWindow = std::chrono::seconds(12);  // past one 10 s deadline
constexpr auto kPatience = std::chrono::milliseconds(15000);

std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) bytes += entry.file_size();
    return bytes;
}

// The attacker runs as an ordinary user where the benchmark can start one, so
// that the figures show what any local user can cost; otherwise as its own.
boost::process::child startAttacker(const fs::path& folder, std::vector<std::string> attack) {
    const fs::path self = platform::executablePath().value_or(L"");
    const std::string name = "hostile_attacker" + self.extension().string();
    fs::create_directory(folder);
    fs::copy_file(self.parent_path() / name, folder / name);
    std::vector<std::string> command = asOrdinaryUser(folder.string());
    command.push_back(platform::toUtf8((folder / name).wstring()));
    command.insert(command.end(), attack.begin(), attack.end());
    return boost::process::child(boost::process::exe = command.front(),
                                 boost::process::args = std::vector<std::string>(command.begin() + 1, command.end()));
}

void measure(const std::string& name, std::vector<std::string> attack, const std::vector<std::string>& chosen) {
    if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), name) == chosen.end()) return;
    const auto tag = std::to_string(Clock::now().time_since_epoch().count());
    const fs::path folder = fs::temp_directory_path() / ("velmora-bench-" + tag);
    fs::create_directory(folder);
    const std::wstring pipe = L"\\\\.\\pipe\\velmora-bench-hostile-" + platform::fromUtf8(tag);
    NullBackend backend;
    {
        ServiceLogger logger((folder / "service.log").wstring(), false);
        ServerOnThread server(pipe, backend, [&](const std::string& line) { logger.log(line); });
        const std::string ping = R"({"command":"ping"})";
        velmora::client::sendRequest(pipe, ping);  // waits for the server to listen

        const std::size_t before = velmora::bench::processResidentBytes();
        const std::uintmax_t logBefore = folderBytes(folder);
        std::atomic<std::size_t> peak{before};
        std::atomic<bool> attacking{true};
        std::thread sampling([&] {
            for (; attacking; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
                peak = std::max<std::size_t>(peak, velmora::bench::processResidentBytes());
        });
        attack.insert(attack.begin() + 1, platform::toUtf8(pipe));
        boost::process::child attacking_process = startAttacker(folder / "attacker", attack);
        const auto start = Clock::now();
        std::vector<double> latencies;
        int unanswered = 0;
        while (Clock::now() - start < kWindow) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            const auto sent = Clock::now();
            if (velmora::client::sendRequest(pipe, ping, kPatience).delivered)
                latencies.push_back(elapsed<std::milli>(sent));
            else
                ++unanswered;
        }
        const double logRate = static_cast<double>(folderBytes(folder) - logBefore) / 1024.0 /
                               std::chrono::duration<double>(Clock::now() - start).count();
        const auto stopping = Clock::now();
        server.stop();
        const double stopTime = elapsed<std::milli>(stopping);
        attacking = false;
        sampling.join();
        attacking_process.terminate();
        report((name + "_resident").c_str(), static_cast<double>(peak - before) / (1024.0 * 1024.0), "MiB more");
        if (!latencies.empty()) {
            report((name + "_ping_p50").c_str(), percentile(latencies, 0.5), "ms");
            report((name + "_ping_max").c_str(), percentile(latencies, 1.0), "ms");
        }
        report((name + "_ping_unanswered").c_str(), unanswered, "pings");
        report((name + "_stop").c_str(), stopTime, "ms");
        report((name + "_log").c_str(), logRate, "KiB/s");
        std::fflush(stdout);
    }
    fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string idLength = argc > 1 ? argv[1] : "230000";
    platform::returnLargeFreedMemory();  // as the service does at start
    const std::vector<std::string> chosen(argv + std::min(argc, 2), argv + argc);
    measure("announce40", {"announce", "40"}, chosen);
    measure("unread64", {"unread", "64", idLength}, chosen);
    measure("expand8", {"expand", "8"}, chosen);
    measure("expand64", {"expand", "64"}, chosen);
    measure("flood3000", {"flood", "4", "3000"}, chosen);
    return 0;
}
