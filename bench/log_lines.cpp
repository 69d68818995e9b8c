// Log sink benchmark: lines written to a log file from several threads at
// once; the cost of one line (formatting, one write, one flush).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "runtime/service_logger.h"

int main(int argc, char** argv) {
    const int threads = 4;
    const int linesPerThread = argc > 1 ? std::atoi(argv[1]) : 20000;
    // A folder of its own: a log is never kept in a folder every user may write.
    const auto folder = std::filesystem::temp_directory_path() / "velmora-bench-log";
    std::filesystem::remove_all(folder);
    const auto path = folder / "service.log";
    double seconds = 0;
    {
        velmora::vpn::ServiceLogger logger(path.wstring(), false);
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&] {
                for (int i = 0; i < linesPerThread; ++i) logger.log("Started sing-box instance 12345");
            });
        }
        for (auto& writer : writers) writer.join();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::filesystem::remove_all(folder);
    std::printf("%-28s %12.1f %s\n", "log_line_4threads", seconds * 1e9 / (threads * linesPerThread), "ns");
    return 0;
}
