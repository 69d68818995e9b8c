#pragma once

#include <gmock/gmock.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/owner_process.h"

// What tests need of the operating system beyond the product's own seam:
// programs to run and watch, TCP ports to probe, folders and resources.
namespace velmora::vpn::testing {

// What a finished program left behind.
struct ProgramRun {
    std::uint32_t exitCode = 0;  // as the platform reports it (8 bits on POSIX)
    std::string output;          // standard output
    std::string errors;          // standard error
};
inline void PrintTo(const ProgramRun& run, std::ostream* out) {
    *out << "exit code " << run.exitCode << ", output \"" << run.output << "\", errors \"" << run.errors << "\"";
}
// A run that ended with `code` (a value or matcher) and whose output and
// errors match.
MATCHER_P3(Ran, code, output, errors, "") {
    return ::testing::ExplainMatchResult(code, arg.exitCode, result_listener) &&
           ::testing::ExplainMatchResult(output, arg.output, result_listener) &&
           ::testing::ExplainMatchResult(errors, arg.errors, result_listener);
}
// The lines of a program's output; carriage returns (Windows text mode) are dropped.
std::vector<std::string> linesOf(const std::string& text);
// The messages of log lines, without their 19-character time stamps and the space.
std::vector<std::string> messagesOf(const std::string& text);

// The lines of the first fenced block after `heading` in a document's text:
// what the docs show a program printing.
std::vector<std::string> docBlock(const std::string& document, const std::string& heading);

// A program built next to the tests (or at the path given), started with the
// given arguments, its standard output and error captured in files and its
// standard input empty. Without standard handles it starts as the service
// manager starts a service: no standard input, output, error or console.
class SiblingProcess {
public:
    SiblingProcess(const std::string& program, const std::vector<std::string>& arguments, bool standardHandles = true);
    ~SiblingProcess();  // kills the program if it still runs
    SiblingProcess(const SiblingProcess&) = delete;
    SiblingProcess& operator=(const SiblingProcess&) = delete;

    std::uint32_t id() const { return id_; }
    // Asks the program to stop as an interrupt would (SIGINT on POSIX).
    void interrupt();
    // Kills the program (if it still runs) and reaps it, so that its id is gone.
    void kill();
    // Waits for the program to end (killing it after the limit) and collects what it left.
    ProgramRun wait(std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

    struct Running;  // the library's process object

private:
    std::string folder_;
    std::unique_ptr<Running> running_;
    std::uint32_t id_ = 0;
};
ProgramRun runSibling(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(30000));
// Path of a program built next to the test executables.
std::string siblingProgram(const std::string& name);
// Copies the service program, and the engine library with it when asked,
// into `folder` (for a run as another user, or without the library); returns
// the copy's path.
std::string copyService(const std::string& folder, bool withEngine);
// A program built next to the tests, run from a copy as another local user
// where this process can switch to one: user `uid` (65534 unless given) when
// it runs as root on Linux; this same user elsewhere (Wine has only one),
// in group `group` alone besides its own when one is given. Killed, and its
// copy removed, when the object goes.
class OtherUsersProgram {
public:
    OtherUsersProgram(const std::string& program, const std::vector<std::string>& arguments, std::uint32_t uid = 65534,
                      std::uint32_t group = 0);
    ~OtherUsersProgram();
    SiblingProcess& process() { return *process_; }

private:
    std::string folder_;
    std::unique_ptr<SiblingProcess> process_;
};
// The command-line client run with `arguments` as OtherUsersProgram runs it,
// and what it left.
ProgramRun clientAs(std::uint32_t uid, const std::vector<std::string>& arguments, std::uint32_t group = 0);
// What runs a program as user `uid`, its folder handed to that user; empty
// when this process cannot switch.
std::vector<std::string> asAnotherUser(const std::string& folder, std::uint32_t uid, std::uint32_t group = 0);
// How the system names ordinary user `n` to the service ("uid n"; a SID).
std::string ordinaryUser(std::uint32_t n);
bool canRunAsAnotherUser();
// The file name of a program on this platform ("X.exe" on Windows).
std::string programFileName(const std::string& name);
// The exit code a program's result becomes as seen by its parent here.
std::uint32_t observedExitCode(std::uint32_t code);

// Adds a folder to the system's library search path (PATH on Windows,
// LD_LIBRARY_PATH elsewhere) of the programs this process starts from now on.
void addLibrarySearchFolder(const std::string& folder);

// A TCP port on 127.0.0.1 that this test program holds until it exits: no
// other test program gets it, and it lies below the range the system hands out
// for outgoing connections, so no client's own port lands on it either.
std::uint16_t freeTcpPort();
// True when a connection to 127.0.0.1:port (with `ipv6`, [::1]:port) is accepted.
bool tcpPortAccepts(std::uint16_t port, bool ipv6 = false);
// True when this machine can listen on IPv6 (some containers have none).
bool ipv6Available();

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

using velmora::vpn::platform::currentProcessId;

}  // namespace velmora::vpn::testing
