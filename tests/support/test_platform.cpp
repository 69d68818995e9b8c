#include "support/test_platform.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "platform/executable_path.h"
#include "platform/text.h"
#include "tcp_listener.h"

namespace velmora::vpn::testing {

std::string makeTempFolder(const std::string& tag) {
    static std::atomic<int> counter{0};
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("velmora-" + tag + "-" + std::to_string(currentProcessId()) + "-" + std::to_string(++counter));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder.string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> linesOf(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
    return lines;
}

LibrarySearchPath::LibrarySearchPath(const std::string& folder)
    : variable_(programFileName("x") == "x" ? "LD_LIBRARY_PATH" : "PATH") {
    if (const char* current = std::getenv(variable_.c_str())) saved_ = current;
    setEnvironment(variable_, saved_ ? folder + (variable_ == "PATH" ? ";" : ":") + *saved_ : folder);
}

LibrarySearchPath::~LibrarySearchPath() { setEnvironment(variable_, saved_); }

std::string siblingProgram(const std::string& name) {
    const std::string self = toUtf8(platform::executablePath().value_or(L""));
    return self.substr(0, self.find_last_of("\\/") + 1) + name;
}

std::uint16_t freeTcpPort() {
    // Outgoing connections take their ports from 32768 upwards on Linux (and
    // so under Wine); tests take theirs from below.
    constexpr std::uint32_t kFirst = 20000;
    constexpr std::uint32_t kSpan = 12000;
    static std::mutex mutex;  // guards next
    static std::uint32_t next = currentProcessId() * 97u;
    std::lock_guard lock(mutex);
    for (std::uint32_t tries = 0; tries < kSpan; ++tries) {
        const auto port = static_cast<std::uint16_t>(kFirst + next++ % kSpan);
        // Free when the stand-in engine could listen there now.
        if (claimPortLock(port) && standin::TcpListener().open("127.0.0.1", port)) return port;
    }
    throw std::runtime_error("no TCP port left for tests");
}

ProgramRun runSibling(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit) {
    SiblingProcess process(program, arguments);
    return process.wait(limit);
}

}  // namespace velmora::vpn::testing
