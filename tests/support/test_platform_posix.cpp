#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "support/test_platform.h"
#include "support/wait_until.h"

extern char** environ;

namespace velmora::vpn::testing {

SiblingProcess::SiblingProcess(const std::string& program, const std::vector<std::string>& arguments,
                               bool standardHandles)
    : folder_(makeTempFolder("run")) {
    std::vector<std::string> words{program.find('/') == std::string::npos ? siblingProgram(program) : program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (folder_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (folder_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int descriptor = 0; descriptor < 3 && !standardHandles; ++descriptor)
        posix_spawn_file_actions_addclose(&actions, descriptor);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, words[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + words[0]);
    id_ = static_cast<std::uint32_t>(pid);
}

SiblingProcess::~SiblingProcess() {
    kill();
    std::filesystem::remove_all(folder_);
}

void SiblingProcess::kill() {
    if (finished_) return;
    ::kill(static_cast<pid_t>(id_), SIGKILL);
    while (waitpid(static_cast<pid_t>(id_), nullptr, 0) < 0 && errno == EINTR) {
    }
    finished_ = true;
}

void SiblingProcess::interrupt() { ::kill(static_cast<pid_t>(id_), SIGINT); }

ProgramRun SiblingProcess::wait(std::chrono::milliseconds limit) {
    const auto pid = static_cast<pid_t>(id_);
    int status = 0;
    const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    finished_ = ended;
    kill();  // one that did not end in time
    const std::uint32_t code = !ended ? 0xFFFFFFFFu : WIFEXITED(status) ? WEXITSTATUS(status) : 0xFFFFFFFEu;
    return ProgramRun{code, readFile(folder_ + "/stdout"), readFile(folder_ + "/stderr")};
}

std::uint32_t observedExitCode(std::uint32_t code) { return code & 0xFFu; }

std::string programFileName(const std::string& name) { return name; }

void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    if (value) setenv(name.c_str(), value->c_str(), 1);
    if (!value) unsetenv(name.c_str());
}

bool claimPortLock(std::uint16_t port) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "velmora-test-ports";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const int fd = open((folder / (std::to_string(port) + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) return true;  // held until this program exits
    if (fd >= 0) close(fd);
    return false;
}

bool tcpPortAccepts(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
}

ResourceCounts processResources() {
    ResourceCounts counts;
    using Entries = std::filesystem::directory_iterator;
    counts.handles = static_cast<std::size_t>(std::distance(Entries("/proc/self/fd"), Entries())) - 1;  // less its own
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        if (key == "Threads:") status >> counts.threads;
        if (key == "VmRSS:") status >> counts.residentBytes;  // in KiB
    }
    counts.residentBytes *= 1024;
    return counts;
}

}  // namespace velmora::vpn::testing
