// The Linux service runs as root; these tests play the local user who
// prepares the names, files and limits it meets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client_connection.h"
#include "pipe_client.h"
#include "platform/owner_process.h"
#include "platform/pipe_endpoint.h"
#include "platform/posix/socket_path.h"
#include "platform/std_redirect.h"
#include "platform/text.h"
#include "protocol/pipe_framing.h"
#include "runtime/service_logger.h"
#include "support/mock_backend.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/traffic.h"
#include "support/wait_until.h"

extern char** environ;

namespace velmora::vpn {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Paths = std::vector<std::string>;

const std::string kPing = R"({"command":"ping"})";

bool answers(const std::string& path) {
    return velmora::client::sendRequest(fromUtf8(path), kPing, std::chrono::milliseconds(200)).delivered;
}

// A raw connection that asks no questions about who serves the socket, for
// the services these tests run as another user.
int rawConnect(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool rawAnswers(const std::string& path) {
    const int fd = rawConnect(path);
    std::string error;
    std::string answer;
    const bool answered = fd >= 0 && writeMessage(fd, kPing.data(), kPing.size(), error) &&
                          readMessage(fd, answer, error) &&
                          answer == R"({"version":1,"ok":true,"payload":{"status":"ok"}})";
    if (fd >= 0) close(fd);
    return answered;
}

bool logged(const testing::LogRecorder& logs, const std::string& text) {
    return testing::waitUntil([&] {
        for (const std::string& line : logs.lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    });
}

// Somebody else's socket at a path: listening, or left behind once closed.
class ForeignSocket {
public:
    ~ForeignSocket() { close(); }
    void listenAt(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(fd_, 4), 0);
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct stat statOf(const std::string& path) {
    struct stat info {};
    lstat(path.c_str(), &info);
    return info;
}

// A folder of this test's own, removed at the end.
class Folder : public ::testing::Test {
protected:
    std::string folder = testing::makeTempFolder("hardening");
    std::string socket = folder + "/service.sock";
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    void TearDown() override { fs::remove_all(folder); }
};

TEST(LinuxPipeNames, EveryClientLooksWhereTheServiceOfItsKindListens) {
    using platform::clientSocketPaths;
    using platform::serviceSocketPath;
    const std::wstring name = L"\\\\.\\pipe\\Velmora";
    EXPECT_EQ(serviceSocketPath(name, true, ""), "/run/Velmora");
    EXPECT_EQ(serviceSocketPath(name, true, "/run/user/1000"), "/run/Velmora");
    EXPECT_EQ(serviceSocketPath(name, false, "/run/user/1000"), "/run/user/1000/Velmora");
    EXPECT_EQ(serviceSocketPath(name, false, ""), "");  // never /tmp
    EXPECT_EQ(clientSocketPaths(name, ""), Paths{"/run/Velmora"});
    EXPECT_EQ(clientSocketPaths(name, "/run/user/1000"), (Paths{"/run/user/1000/Velmora", "/run/Velmora"}));
    EXPECT_EQ(serviceSocketPath(L"/srv/v.sock", false, ""), "/srv/v.sock");
    EXPECT_EQ(clientSocketPaths(L"/srv/v.sock", "/run/user/1000"), Paths{"/srv/v.sock"});
    for (const std::wstring bad : {L"\\\\.\\pipe\\", L"\\\\.\\pipe\\a/b", L"\\\\.\\pipe\\..", L"relative"}) {
        EXPECT_EQ(serviceSocketPath(bad, true, ""), "");
        EXPECT_TRUE(clientSocketPaths(bad, "/run/user/1000").empty());
    }
}

TEST_F(Folder, TheSocketAppearsWhole_EveryoneMayConnect_AndNothingElseIsLeft) {
    ::umask(077);  // the mode is given, not inherited
    testing::RunningServer running(backend, logs.callback(), testing::fastSettings(), fromUtf8(socket));
    ASSERT_TRUE(testing::waitUntil([&] { return answers(socket); }));
    EXPECT_EQ(statOf(socket).st_mode & 07777, 0666u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    ::umask(022);
    running.stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
}

// The attack on a chmod by path: the moment the socket's name appears, a user
// who can write the folder swaps it for a link to a root-only file. Whatever
// the service then does to the name must not reach that file.
TEST_F(Folder, ALinkSwappedInAsTheSocketAppearsIsNeverFollowed) {
    const std::string secret = folder + "/secret";
    std::ofstream(secret) << "secret";
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO);
    std::atomic<bool> done{false};
    std::thread attacker([&] {
        alignas(inotify_event) char events[4096];
        while (!done) {
            pollfd ready{watch, POLLIN, 0};
            if (::poll(&ready, 1, 1) <= 0) continue;
            const ssize_t length = read(watch, events, sizeof events);
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->len > 0 && std::string(event->name) == "service.sock") {
                    renameat2(AT_FDCWD, (folder + "/bait").c_str(), AT_FDCWD, socket.c_str(), RENAME_EXCHANGE);
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    });
    int followedAt = -1;
    for (int attempt = 0; attempt < 1000 && followedAt < 0; ++attempt) {
        fs::create_symlink(secret, folder + "/bait");
        platform::PipeListener listener(fromUtf8(socket));
        std::string error;
        listener.createInstance(error);
        listener.closeInstance();
        fs::remove(folder + "/bait");
        fs::remove(socket);
        if ((statOf(secret).st_mode & 0777) != 0600) followedAt = attempt;
    }
    done = true;
    attacker.join();
    close(watch);
    EXPECT_EQ(followedAt, -1) << "the root-only file changed its mode";
}

TEST_F(Folder, AFolderOthersCanWriteIsRefused) {
    fs::permissions(folder, fs::perms::all);  // 0777, not sticky
    testing::RunningServer running(backend, logs.callback(), testing::fastSettings(), fromUtf8(socket));
    EXPECT_TRUE(logged(logs, "Refusing to serve on " + socket + ": its folder can be written by other users"));
    EXPECT_TRUE(fs::is_empty(folder));
}

// Whatever a user left at the name stays as it was and is never followed;
// only a socket nothing answers on is replaced.
TEST_F(Folder, WhatIsFoundAtTheNameIsNeverFollowedOrChanged) {
    const std::string secret = folder + "/secret";
    std::ofstream(secret) << "secret";
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    ForeignSocket live;
    const std::vector<std::function<void()>> squatters = {
        [&] { std::ofstream(socket) << "x"; },
        [&] { fs::create_directory(socket); },
        [&] { fs::create_symlink(secret, socket); },
        [&] { fs::create_symlink(folder + "/nowhere", socket); },
        [&] { live.listenAt(socket); },
    };
    for (const auto& squat : squatters) {
        squat();
        const struct stat before = statOf(socket);
        {
            testing::LogRecorder attempt;
            testing::RunningServer running(backend, attempt.callback(), testing::fastSettings(), fromUtf8(socket));
            EXPECT_TRUE(logged(attempt, "bind failed. error 98"));
        }
        EXPECT_EQ(statOf(socket).st_ino, before.st_ino);
        EXPECT_EQ(statOf(socket).st_mode, before.st_mode);
        EXPECT_EQ(testing::readFile(secret), "secret");
        EXPECT_EQ(statOf(secret).st_mode & 0777, 0600u);
        EXPECT_FALSE(fs::exists(folder + "/nowhere"));
        live.close();
        fs::remove_all(socket);
    }
    live.listenAt(socket);
    live.close();  // a stale socket: nothing answers on it
    testing::RunningServer running(backend, logs.callback(), testing::fastSettings(), fromUtf8(socket));
    EXPECT_TRUE(testing::waitUntil([&] { return answers(socket); }));
}

TEST_F(Folder, RunningOutOfDescriptorsKeepsTheNameAndServesAgainAfterwards) {
    const std::string log = folder + "/service.log";
    testing::SiblingProcess service("/usr/bin/prlimit", {"--nofile=48:48", testing::siblingProgram("VelmoraVpnService"),
                                                         "--console", "--pipe-name", socket, "--log-file", log});
    ASSERT_TRUE(testing::waitUntil([&] { return answers(socket); }, std::chrono::milliseconds(10000)));
    const ino_t bound = statOf(socket).st_ino;
    {
        std::vector<std::unique_ptr<velmora::client::ClientConnection>> held;
        for (int i = 0; i < 64; ++i) {
            held.push_back(std::make_unique<velmora::client::ClientConnection>());
            std::string error;
            ASSERT_TRUE(held.back()->connect(fromUtf8(socket), std::chrono::milliseconds(2000), error)) << error;
        }
        ASSERT_TRUE(testing::waitUntil([&] { return testing::readFile(log).find("error 24") != std::string::npos; }));
    }
    EXPECT_TRUE(testing::waitUntil([&] { return answers(socket); }, std::chrono::milliseconds(10000)));
    EXPECT_EQ(statOf(socket).st_ino, bound);
    EXPECT_THAT(testing::readFile(log), ::testing::Not(HasSubstr("bind failed")));
}

// Run as an unprivileged user (root is exempt from the limit) under a low
// limit on tasks: client threads that cannot be started cost only their
// connections.
TEST_F(Folder, AThreadLimitCostsOnlyTheConnectionsPastIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the service as another user";
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    const std::string log = folder + "/service.log";
    testing::SiblingProcess service(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/prlimit", "--nproc=24:24",
         testing::siblingProgram("VelmoraVpnService"), "--console", "--pipe-name", socket, "--log-file", log});
    ASSERT_TRUE(testing::waitUntil([&] { return rawAnswers(socket); }, std::chrono::milliseconds(10000)));
    std::vector<int> held;
    for (int i = 0; i < 40; ++i) held.push_back(rawConnect(socket));
    EXPECT_TRUE(testing::waitUntil(
        [&] { return testing::readFile(log).find("Client thread could not be started") != std::string::npos; }));
    for (const int fd : held) close(fd);
    EXPECT_TRUE(testing::waitUntil([&] { return rawAnswers(socket); }, std::chrono::milliseconds(10000)));
    EXPECT_THAT(testing::readFile(log), ::testing::Not(HasSubstr("Fatal error")));
}

TEST_F(Folder, ALogPathThatIsALinkOrNoRegularFileIsNeverWritten) {
    const std::string target = folder + "/target";
    std::ofstream(target) << "kept";
    fs::create_symlink(target, folder + "/link");
    fs::create_symlink(folder + "/created", folder + "/dangling");
    ASSERT_EQ(mkfifo((folder + "/fifo").c_str(), 0600), 0);
    for (const char* name : {"/link", "/dangling", "/fifo"}) {
        const std::wstring path = fromUtf8(folder + name);
        EXPECT_LT(openLogFileForAppend(path), 0) << name;
        ServiceLogger(path, false).log("written");
    }
    EXPECT_EQ(testing::readFile(target), "kept");
    EXPECT_FALSE(fs::exists(folder + "/created"));
}

TEST_F(Folder, LoggingResumesWhenTheDiskHasRoomAgain) {
    const std::string log = folder + "/service.log";
    ServiceLogger logger(fromUtf8(log), false);
    logger.log("before");
    // The file may not grow for a moment, as on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit full{static_cast<rlim_t>(fs::file_size(log)), limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &full);
    logger.log("lost");
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_DFL);
    logger.log("after");
    const std::string text = testing::readFile(log);
    EXPECT_THAT(text, HasSubstr(" before\n"));
    EXPECT_THAT(text, HasSubstr(" after\n"));
    EXPECT_THAT(text, ::testing::Not(HasSubstr("lost")));
}

TEST_F(Folder, AConsoleWhoseReaderHasGoneEndsNoRun) {
    const std::string log = folder + "/service.log";
    int errors[2];
    ASSERT_EQ(pipe(errors), 0);
    close(errors[0]);  // nobody will ever read what the service writes to standard error
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const std::string program = testing::siblingProgram("VelmoraVpnService");
    std::vector<std::string> words{program, "--console", "--pipe-name", socket, "--log-file", log};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(errors[1]);

    EXPECT_TRUE(testing::waitUntil([&] { return answers(socket); }, std::chrono::milliseconds(10000)));
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_THAT(testing::readFile(log), HasSubstr("Velmora VPN service runtime stopped\n"));
}

// Another local user listens where the client looks for the service: the
// client refuses it, says why, and sends it nothing.
TEST_F(Folder, TheClientSendsNothingToAServerOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    const std::string received = folder + "/received";
    const pid_t impostor = fork();
    if (impostor == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        ForeignSocket listening;
        listening.listenAt(socket);
        const int client = accept(listening.fd(), nullptr, nullptr);
        char buffer[4096];
        pollfd readable{client, POLLIN, 0};
        ssize_t total = 0;
        while (::poll(&readable, 1, 2000) > 0) {
            const ssize_t n = read(client, buffer, sizeof buffer);
            if (n <= 0) break;
            total += n;
        }
        // Only system calls after the fork: another thread may hold the allocator's lock.
        const int out = open(received.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const char digit = static_cast<char>('0' + (total > 9 ? 9 : total));
        _exit(out >= 0 && write(out, &digit, 1) == 1 ? 0 : 4);
    }
    ASSERT_GT(impostor, 0);
    ASSERT_TRUE(testing::waitUntil([&] { return fs::exists(fs::symlink_status(socket)); }));
    const testing::ProgramRun run = testing::runSibling(
        "velmora-vpn-client", {"--pipe-name", socket, "start", "--config", "-"}, std::chrono::milliseconds(10000));
    int status = 0;
    waitpid(impostor, &status, 0);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.output, "");
    EXPECT_THAT(run.errors,
                HasSubstr("served by user id 65534, neither root nor this user: refusing to send it anything"));
    EXPECT_EQ(testing::readFile(received), "0");
}

TEST(LinuxOwners, AnOwnerThatEndedIsGoneBeforeItIsReaped) {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    EXPECT_TRUE(testing::waitUntil([&] { return isOwnerGone(static_cast<std::uint32_t>(child)); }));
    waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace velmora::vpn
