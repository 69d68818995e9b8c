#pragma once

#include <cstdint>
#include <string>

// What tests need of the operating system beyond the product's own seam:
// child processes to watch and TCP ports to probe.
namespace velmora::vpn::testing {

// A child process running tests' helper program (test_child), killed and
// reaped when the object goes.
class ChildProcess {
public:
    // Starts the helper; it exits by itself after `lifetimeMs`, or never when negative.
    explicit ChildProcess(int lifetimeMs = -1);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    std::uint32_t id() const { return id_; }
    // Kills the child (if it still runs) and reaps it, so that its id is gone.
    void kill();
    // Waits until the child has exited by itself, and reaps it.
    void wait();

private:
    std::uint32_t id_ = 0;
    std::intptr_t handle_ = 0;
    bool reaped_ = false;
};

// Path of a program built next to the test executables.
std::string siblingProgram(const std::string& name);

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
std::uint16_t freeTcpPort();
// True when a connection to 127.0.0.1:port is accepted.
bool tcpPortAccepts(std::uint16_t port);

// The process id of this test program.
std::uint32_t currentProcessId();

}  // namespace velmora::vpn::testing
