#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/owner_process.h"

// What tests need of the operating system beyond the product's own seam:
// child processes to watch and TCP ports to probe.
namespace velmora::vpn::testing {

// What a finished program left behind.
struct ProgramRun {
    std::uint32_t exitCode = 0;  // as the platform reports it (8 bits on POSIX)
    std::string output;          // standard output
    std::string errors;          // standard error
};

// A program built next to the tests, started with the given arguments, its
// standard output and error captured in files and its standard input empty.
class SiblingProcess {
public:
    // Without standard handles the program starts as the service manager
    // starts a service: no standard input, output or error at all (and then
    // output and errors stay empty).
    SiblingProcess(const std::string& program, const std::vector<std::string>& arguments, bool standardHandles = true);
    // Kills the program if it still runs.
    ~SiblingProcess();
    SiblingProcess(const SiblingProcess&) = delete;
    SiblingProcess& operator=(const SiblingProcess&) = delete;

    std::uint32_t id() const { return id_; }
    // Asks the program to stop as an interrupt would (SIGINT on POSIX).
    void interrupt();
    // Kills the program (if it still runs) and reaps it, so that its id is gone.
    void kill();
    // Waits for the program to end (killing it after the limit) and collects
    // what it left.
    ProgramRun wait(std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

private:
    std::uint32_t id_ = 0;
    std::intptr_t handle_ = 0;
    bool finished_ = false;
    std::string folder_;
    std::string outputPath_;
    std::string errorsPath_;
};

// A process for the owner watcher to watch: the tests' helper program, which
// exits by itself after `lifetimeMs`, or never when that is negative.
class ChildProcess : public SiblingProcess {
public:
    explicit ChildProcess(int lifetimeMs = -1)
        : SiblingProcess("test_child", lifetimeMs >= 0 ? std::vector<std::string>{std::to_string(lifetimeMs)}
                                                       : std::vector<std::string>{}) {}
};

// Runs a sibling program to its end.
ProgramRun runSibling(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

// The exit code a program's result becomes as seen by its parent here.
std::uint32_t observedExitCode(std::uint32_t code);

// The file name of a program on this platform ("X.exe" on Windows).
std::string programFileName(const std::string& name);

// Sets (or, with an empty value, removes) a variable of this process's
// environment, which the programs it starts inherit.
void setEnvironment(const std::string& name, const std::string& value);

// Path of a program built next to the test executables.
std::string siblingProgram(const std::string& name);

// A TCP port on 127.0.0.1 that this test program holds until it exits: no
// other test program gets it, and it lies below the range the system hands out
// for outgoing connections, so no client's own port lands on it either.
std::uint16_t freeTcpPort();
// Claims `port` for this program through a lock file held until exit; false
// when another program holds it.
bool claimPortLock(std::uint16_t port);
// True when a listener could bind 127.0.0.1:port right now.
bool tcpPortBindable(std::uint16_t port);
// True when a connection to 127.0.0.1:port is accepted.
bool tcpPortAccepts(std::uint16_t port);

// Puts a folder first on the system's library search path (PATH on Windows,
// LD_LIBRARY_PATH elsewhere) for as long as the object lives, for the
// programs this process starts.
class LibrarySearchPath {
public:
    explicit LibrarySearchPath(const std::string& folder);
    ~LibrarySearchPath();
    LibrarySearchPath(const LibrarySearchPath&) = delete;
    LibrarySearchPath& operator=(const LibrarySearchPath&) = delete;

private:
    std::string variable_;
    std::string saved_;
    bool wasSet_ = false;
};

// A fresh, empty folder for one test, removed by the caller.
std::string makeTempFolder(const std::string& tag);
std::string readFile(const std::string& path);

// What this process holds right now, for growth checks.
struct ResourceCounts {
    std::size_t threads = 0;
    std::size_t handles = 0;        // open descriptors on POSIX, kernel handles on Windows
    std::size_t residentBytes = 0;  // resident memory
};
ResourceCounts processResources();

// The process id of this test program.
using velmora::vpn::currentProcessId;

}  // namespace velmora::vpn::testing
