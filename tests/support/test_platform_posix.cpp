#include "support/test_platform.h"

#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velmora::vpn::testing {

ChildProcess::ChildProcess(int lifetimeMs) {
    const std::string program = siblingProgram("test_child");
    std::string lifetime = std::to_string(lifetimeMs);
    std::string name = "test_child";
    char* argv[] = {name.data(), lifetimeMs >= 0 ? lifetime.data() : nullptr, nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        throw std::runtime_error("cannot start " + program);
    }
    id_ = static_cast<std::uint32_t>(pid);
}

ChildProcess::~ChildProcess() { kill(); }

void ChildProcess::kill() {
    if (reaped_) return;
    ::kill(static_cast<pid_t>(id_), SIGKILL);
    wait();
}

void ChildProcess::wait() {
    if (reaped_) return;
    int status = 0;
    while (waitpid(static_cast<pid_t>(id_), &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

std::string siblingProgram(const std::string& name) {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self(path, length > 0 ? static_cast<std::size_t>(length) : 0);
    return self.substr(0, self.rfind('/') + 1) + name;
}

namespace {
sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}
}  // namespace

std::uint16_t freeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

bool tcpPortAccepts(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepted;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace velmora::vpn::testing
