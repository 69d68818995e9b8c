#include "support/test_platform.h"
#include "support/sibling_start.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/interprocess/sync/file_lock.hpp>
#include <boost/process/environment.hpp>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "backend/singbox_in_process_backend.h"
#include "platform/executable_path.h"
#include "platform/text.h"
#include "support/wait_until.h"
#include "tcp_listener.h"

namespace velmora::vpn::testing {

namespace bp = boost::process;

namespace {

NativeText native(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).native();
}

// Claims `port` for this program through a lock file held until it exits;
// false when another program holds it.
bool claimPortLock(std::uint16_t port) {
    static std::vector<std::unique_ptr<boost::interprocess::file_lock>> held;  // guarded by the caller
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "velmora-test-ports";
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    const std::string path = (folder / (std::to_string(port) + ".lock")).string();
    std::ofstream(path, std::ios::app);  // the lock needs the file to exist
    auto lock = std::make_unique<boost::interprocess::file_lock>(path.c_str());
    if (!lock->try_lock()) return false;
    held.push_back(std::move(lock));
    return true;
}

}  // namespace

SiblingProcess::SiblingProcess(const std::string& program, const std::vector<std::string>& arguments,
                               bool standardHandles)
    : folder_(makeTempFolder("run")) {
    const NativeText path =
        native(program.find_first_of("\\/") == std::string::npos ? siblingProgram(programFileName(program)) : program);
    std::vector<NativeText> words;
    for (const std::string& argument : arguments) words.push_back(native(argument));
    running_ = std::make_unique<Running>(
        Running{startSibling(path, words, standardHandles, native(folder_ + "/stdout"), native(folder_ + "/stderr"))});
    id_ = static_cast<std::uint32_t>(running_->child.id());
}

SiblingProcess::~SiblingProcess() {
    kill();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void SiblingProcess::kill() {
    std::error_code ignored;
    if (running_->child.running(ignored)) running_->child.terminate(ignored);
    running_->child.wait(ignored);
}

void SiblingProcess::interrupt() { testing::interrupt(running_->child); }

ProgramRun SiblingProcess::wait(std::chrono::milliseconds limit) {
    std::error_code ignored;
    const bool ended = waitUntil([&] { return !running_->child.running(ignored); }, limit);
    kill();  // one that did not end in time
    const auto code = ended ? static_cast<std::uint32_t>(running_->child.exit_code()) : 0xFFFFFFFFu;
    return ProgramRun{code, readFile(folder_ + "/stdout"), readFile(folder_ + "/stderr")};
}

std::string makeTempFolder(const std::string& tag) {
    static std::atomic<int> counter{0};
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("velmora-" + tag + "-" + std::to_string(platform::currentProcessId()) + "-" + std::to_string(++counter));
    // One left by an earlier process of the same id (a test killed before it cleaned up) must not hand its
    // files to this one: a child's output is written over them, not in place of them.
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder.string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool tcpPortAccepts(std::uint16_t port, bool ipv6) {
    namespace ip = boost::asio::ip;
    boost::asio::io_context context;
    ip::tcp::socket socket(context);
    boost::system::error_code error;
    socket.connect({ipv6 ? ip::address(ip::address_v6::loopback()) : ip::address(ip::address_v4::loopback()), port},
                   error);
    return !error;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find_last_not_of('\r') + 1));
    return lines;
}

std::vector<std::string> docBlock(const std::string& text, const std::string& heading) {
    const std::size_t start = text.find("```\n", text.find(heading)) + 4;
    return linesOf(text.substr(start, text.find("```", start) - start));
}

std::vector<std::string> messagesOf(const std::string& text) {
    std::vector<std::string> messages;
    for (const std::string& line : linesOf(text))
        messages.push_back(line.substr(std::min<std::size_t>(20, line.size())));
    return messages;
}

std::string copyService(const std::string& folder, bool withEngine) {
    const std::string program = programFileName("VelmoraVpnService");
    const std::string engine = engineLibraryFileName();
    for (const std::string& name : withEngine ? std::vector{program, engine} : std::vector{program})
        std::filesystem::copy_file(siblingProgram(name), folder + "/" + name);
    return folder + "/" + program;
}

OtherUsersProgram::OtherUsersProgram(const std::string& program, const std::vector<std::string>& arguments,
                                     std::uint32_t uid, std::uint32_t group)
    : folder_(makeTempFolder("other")) {
    // A program started by another thread while the copy is open for writing
    // would inherit that descriptor, and the copy could not be run (text file
    // busy) until that program had gone: copies and starts take turns.
    static std::mutex turns;
    const std::lock_guard turn(turns);
    std::vector<std::string> command = asAnotherUser(folder_, uid, group);
    command.push_back(folder_ + "/" + programFileName(program));
    std::filesystem::copy_file(siblingProgram(programFileName(program)), command.back());
    command.insert(command.end(), arguments.begin(), arguments.end());
    process_ =
        std::make_unique<SiblingProcess>(command.front(), std::vector<std::string>(command.begin() + 1, command.end()));
}

ProgramRun clientAs(std::uint32_t uid, const std::vector<std::string>& arguments, std::uint32_t group) {
    return OtherUsersProgram("velmora-vpn-client", arguments, uid, group).process().wait();
}

OtherUsersProgram::~OtherUsersProgram() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void addLibrarySearchFolder(const std::string& folder) {
    boost::this_process::environment()[programFileName("x") == "x" ? "LD_LIBRARY_PATH" : "PATH"] += folder;
}

std::string siblingProgram(const std::string& name) {
    const std::string self = platform::toUtf8(platform::executablePath().value_or(std::wstring{}));
    return self.substr(0, self.find_last_of("\\/") + 1) + name;
}

bool ipv6Available() {
    boost::asio::io_context context;
    boost::asio::ip::tcp::acceptor acceptor(context);
    boost::system::error_code error;
    acceptor.open(boost::asio::ip::tcp::v6(), error);
    if (!error) acceptor.bind({boost::asio::ip::address_v6::loopback(), 0}, error);
    return !error;
}

std::uint16_t freeTcpPort() {
    // Outgoing connections take their ports from 32768 upwards on Linux (and
    // so under Wine); tests take theirs from below.
    constexpr std::uint32_t kFirst = 20000;
    constexpr std::uint32_t kSpan = 12000;
    static std::mutex mutex;  // guards next
    static std::uint32_t next = platform::currentProcessId() * 97u;
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
