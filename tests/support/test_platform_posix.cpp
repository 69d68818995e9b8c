#include "support/test_platform.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <climits>
#include <csignal>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <thread>

#include "support/wait_until.h"
#include <unistd.h>

extern char** environ;

namespace velmora::vpn::testing {

SiblingProcess::SiblingProcess(const std::string& program, const std::vector<std::string>& arguments,
                               bool standardHandles) {
    folder_ = makeTempFolder("run");
    outputPath_ = folder_ + "/stdout";
    errorsPath_ = folder_ + "/stderr";
    const std::string path = program.find('/') == std::string::npos ? siblingProgram(program) : program;
    std::vector<std::string> words{path};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (standardHandles) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errorsPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else {
        for (const int descriptor : {0, 1, 2}) posix_spawn_file_actions_addclose(&actions, descriptor);
    }
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + path);
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
    ProgramRun run;
    int status = 0;
    const bool ended =
        waitUntil([&] { return waitpid(static_cast<pid_t>(id_), &status, WNOHANG) == static_cast<pid_t>(id_); }, limit);
    if (!ended) {
        ::kill(static_cast<pid_t>(id_), SIGKILL);
        waitpid(static_cast<pid_t>(id_), &status, 0);
        run.exitCode = 0xFFFFFFFFu;
    } else {
        run.exitCode = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status)) : 0xFFFFFFFEu;
    }
    finished_ = true;
    run.output = readFile(outputPath_);
    run.errors = readFile(errorsPath_);
    return run;
}

std::uint32_t observedExitCode(std::uint32_t code) { return code & 0xFFu; }

void setEnvironment(const std::string& name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

std::string programFileName(const std::string& name) { return name; }

namespace {
sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}
}  // namespace

bool claimPortLock(std::uint16_t port) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "velmora-test-ports";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::string path = (folder / (std::to_string(port) + ".lock")).string();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true;  // the descriptor stays open, and the lock held, until this program exits
}

bool tcpPortBindable(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;  // as the stand-in engine's listeners bind
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = loopback(port);
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

bool tcpPortAccepts(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
}

ResourceCounts processResources() {
    ResourceCounts counts;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) ++counts.handles;
        closedir(fds);
        counts.handles -= 3;  // ".", ".." and the directory's own descriptor
    }
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") status >> counts.threads;
        if (key == "VmRSS:") {
            status >> counts.residentBytes;
            counts.residentBytes *= 1024;
        }
    }
    return counts;
}

}  // namespace velmora::vpn::testing
