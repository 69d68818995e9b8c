// The Linux service runs as root; these tests play the local user who
// prepares the names, files and limits it meets.
#include "support/prelude.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/data_folder.h"
#include "platform/descriptor_limit.h"
#include "platform/log_file.h"
#include "platform/std_redirect.h"
#include "platform/trusted_group.h"
#include "platform/pipe_endpoint.h"
#include "platform/socket_path.h"
#include "runtime/service_logger.h"

namespace velmora::vpn {
namespace {

using Paths = std::vector<std::string>;

// A socket bound and listening at `path`, as somebody else's would be (one
// that never accepts, its queue full after one connection); -1 when that
// fails.
platform::OwnedHandle listeningSocket(const std::string& path) {
    platform::OwnedHandle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(fd.get(), 0) == 0) {
        return fd;
    }
    return {};
}

bool answers(const std::string& path) {
    return sendRequest(platform::fromUtf8(path), R"({"command":"ping"})", milliseconds(500)).response ==
           testing::okAnswer(R"({"status":"ok"})");
}

struct stat statOf(const std::string& path) {
    struct stat info {};
    lstat(path.c_str(), &info);
    return info;
}

// A folder of this test's own, with a root-only file in it, removed at the end.
class Folder : public ::testing::Test {
protected:
    std::string folder = testing::makeTempFolder("hardening");
    std::string socket = folder + "/service.sock";
    std::string log = folder + "/service.log";
    std::string secret = folder + "/secret";
    testing::FakeBackend backend;
    testing::LogRecorder logs;
    void SetUp() override {
        std::ofstream(secret) << "secret";
        fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    }
    void TearDown() override { fs::remove_all(folder); }
    bool secretUntouched() { return testing::readFile(secret) == "secret" && (statOf(secret).st_mode & 0777) == 0600; }
};

// Text crosses between UTF-8 and wide text whole, every plane included; what
// is not UTF-8 (an overlong form, a surrogate, a stray byte) becomes U+FFFD,
// one for each byte that could not be used.
TEST(LinuxText, CrossesWholeAndMarksWhatIsNotUtf8) {
    // The first and last character of each length.
    const std::string text = "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(platform::fromUtf8(text), (std::wstring{0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF}));
    // A wide text holding a surrogate crosses as nothing.
    EXPECT_EQ(platform::toUtf8(platform::fromUtf8(text)) + platform::toUtf8(std::wstring{L'a', 0xD800}), text);
    EXPECT_EQ(platform::fromUtf8("\xC0\xAF\xED\xA0\x80\x80x"), std::wstring(6, 0xFFFD) + L"x");
}

TEST(LinuxPipeNames, EveryClientLooksWhereTheServiceOfItsKindListens) {
    using namespace platform;
    const std::wstring name = L"\\\\.\\pipe\\Velmora";
    EXPECT_EQ(serviceSocketPath(name, true, ""), "/run/Velmora");
    EXPECT_EQ(serviceSocketPath(name, false, "/run/user/1000"), "/run/user/1000/Velmora");
    EXPECT_EQ(serviceSocketPath(name, false, ""), "");  // never /tmp
    EXPECT_EQ(clientSocketPaths(name, "/run/user/1000"), (Paths{"/run/user/1000/Velmora", "/run/Velmora"}));
    EXPECT_EQ(serviceSocketPath(L"/srv/v.sock", false, ""), "/srv/v.sock");
    EXPECT_EQ(clientSocketPaths(L"/srv/v.sock", "/run/user/1000"), Paths{"/srv/v.sock"});
    // A client's own runtime folder comes from its environment, when that names an absolute path.
    for (const auto& [folder, paths] : {std::pair{"/run/user/7", Paths{"/run/user/7/Velmora", "/run/Velmora"}},
                                        {"relative", Paths{"/run/Velmora"}}}) {
        setenv("XDG_RUNTIME_DIR", folder, 1);
        EXPECT_EQ(clientSocketPaths(name), paths) << folder;
    }
    unsetenv("XDG_RUNTIME_DIR");
    for (const std::wstring bad : {L"\\\\.\\pipe\\", L"\\\\.\\pipe\\a/b", L"\\\\.\\pipe\\..", L"relative/name"}) {
        EXPECT_EQ(serviceSocketPath(bad, true, ""), "");
        EXPECT_TRUE(clientSocketPaths(bad, "/run/user/1000").empty());
    }
}

// Whatever a user left at the name stays as it was and is never followed;
// only a socket nothing answers on is replaced, by one that appears whole
// with its mode, leaves nothing else behind and goes with the server. A
// folder others can write is refused.
TEST_F(Folder, WhatIsFoundAtTheNameIsNeverFollowedOrChanged) {
    platform::OwnedHandle live;
    ClientConnection queued;  // fills the live one's queue: the server's look must not wait for a place
    std::string error;
    const std::vector<std::function<void()>> squatters = {
        [&] { std::ofstream(socket) << "x"; },
        [&] { fs::create_directory(socket); },
        [&] { fs::create_symlink(secret, socket); },
        [&] { fs::create_symlink(folder + "/nowhere", socket); },
        [&] { live = listeningSocket(socket), queued.connect(platform::fromUtf8(socket), milliseconds(500), error); },
    };
    for (const auto& squat : squatters) {
        squat();
        const struct stat before = statOf(socket);
        {
            testing::LogRecorder attempt;
            testing::RunningServer running(backend, attempt.callback(), testing::fastSettings(),
                                           platform::fromUtf8(socket));
            EXPECT_TRUE(attempt.shows("bind failed. error 98"));
        }
        EXPECT_EQ(statOf(socket).st_ino, before.st_ino);
        EXPECT_EQ(statOf(socket).st_mode, before.st_mode);
        EXPECT_TRUE(secretUntouched());
        EXPECT_FALSE(fs::exists(folder + "/nowhere"));
        live.reset();
        fs::remove_all(socket);
    }
    listeningSocket(socket);  // a stale socket: nothing answers on it
    ::umask(077);             // the mode is given, not inherited
    auto running = std::make_unique<testing::RunningServer>(backend, logs.callback(), testing::fastSettings(),
                                                            platform::fromUtf8(socket));
    EXPECT_TRUE(testing::waitUntil([&] { return answers(socket); }));
    ::umask(022);
    EXPECT_EQ(statOf(socket).st_mode & 07777, 0666u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);  // with the secret
    running.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
    fs::permissions(folder, fs::perms::all);  // 0777, not sticky
    testing::RunningServer refused(backend, logs.callback(), testing::fastSettings(), platform::fromUtf8(socket));
    EXPECT_TRUE(logs.shows("Refusing to serve on " + socket + ": its folder can be written by other users", true));
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
    // A folder that is missing: said once, summed up while it lasts, and said to be over once it is there.
    PipeServerSettings repeating = testing::fastSettings();
    repeating.failureSummaryInterval = milliseconds(200);
    testing::LogRecorder lostLogs;
    testing::RunningServer lost(backend, lostLogs.callback(), repeating, platform::fromUtf8(folder + "/no/s"));
    const std::string missing = "open failed. error 2: No such file or directory (" + folder + "/no)";
    EXPECT_TRUE(lostLogs.shows("Creating the pipe endpoint failed "));
    const Lines seen = lostLogs.lines();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), missing), 1);
    EXPECT_EQ(seen[1], missing);
    EXPECT_THAT(seen[2], ::testing::AllOf(::testing::StartsWith("Creating the pipe endpoint failed "),
                                          ::testing::EndsWith(": " + missing)));
    fs::create_directory(folder + "/no");
    EXPECT_TRUE(lostLogs.shows("Creating the pipe endpoint works again after "));
    EXPECT_TRUE(testing::waitUntil([&] { return answers(folder + "/no/s"); }));
    // A client retries only while the service may still come (no socket, or none listening yet).
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_THAT(sendRequest(platform::fromUtf8(secret + "/s"), "{}").error, HasSubstr("connect failed. error 20: "));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, milliseconds(10000));  // of the 30 s it may wait
}

// Out of descriptors, the service keeps its name and serves again
// afterwards; its standard error a pipe whose reader has exited, it still
// serves and stops cleanly instead of dying of a broken pipe.
// The soft descriptor limit is raised to the hard one, and what is left is
// that limit less what is open.
TEST(Descriptors, WhatIsLeftIsTheLimitLessWhatIsOpen) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max - 1, 1024);  // below the hard limit, to be raised
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_TRUE(platform::raiseDescriptorLimit());
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
    EXPECT_EQ(platform::descriptorsLeft(), limit.rlim_cur - testing::processResources().handles);
}

TEST_F(Folder, NeitherRunningOutOfDescriptorsNorLosingItsConsoleEndsARun) {
    testing::SiblingProcess running(
        "/usr/bin/prlimit",
        {"--nofile=48:48", "/bin/bash", "-c", "exec \"$0\" \"$@\" 2> >(exit 0)",
         testing::siblingProgram("VelmoraVpnService"), "--console", "--pipe-name", socket, "--log-file", log});
    ASSERT_TRUE(testing::waitUntil([&] { return answers(socket); }, milliseconds(10000)));
    const ino_t bound = statOf(socket).st_ino;
    {
        ClientConnection held[64];
        std::string error;
        for (auto& connection : held)
            ASSERT_TRUE(connection.connect(platform::fromUtf8(socket), milliseconds(2000), error)) << error;
        ASSERT_TRUE(testing::waitUntil(
            [&] { return testing::readFile(log).find("accept failed. error 24: ") != std::string::npos; }));
    }
    EXPECT_TRUE(testing::waitUntil([&] { return answers(socket); }, milliseconds(10000)));
    EXPECT_THAT(testing::readFile(log), HasSubstr("Accepting a client works again after "));  // said once over
    EXPECT_EQ(statOf(socket).st_ino, bound);
    running.interrupt();
    EXPECT_EQ(running.wait().exitCode, 0u);
    EXPECT_THAT(testing::readFile(log), Not(HasSubstr("bind failed")));
    EXPECT_THAT(testing::readFile(log), HasSubstr("Velmora VPN service runtime stopped\n"));
}

// Under systemd (`--service` where there is no service manager of ours) every
// line goes to the log file alone: the console the service was given stays
// silent, and a stop signal ends the run.
TEST_F(Folder, AServiceRunUnderSystemdWritesToItsLogFileAlone) {
    testing::SiblingProcess running("VelmoraVpnService", {"--service", "--pipe-name", socket, "--log-file", log});
    ASSERT_TRUE(testing::waitUntil([&] { return answers(socket); }, milliseconds(10000)));
    running.interrupt();
    EXPECT_THAT(running.wait(), Ran(0u, "", ""));
    EXPECT_THAT(testing::readFile(log), HasSubstr("Velmora VPN service runtime stopped\n"));
}

// The service run as another local user (from a copy that user can reach,
// wherever the build is): the client sends it nothing; that user's own
// client is served.
TEST_F(Folder, AServiceOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the service as another user";
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    const std::string program = testing::copyService(folder, true);
    testing::SiblingProcess running("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", program,
                                                         "--console", "--pipe-name", socket, "--log-file", log});
    const std::string refusal = "served by user id 65534, neither root nor this user: refusing to send it";
    EXPECT_TRUE(testing::waitUntil(
        [&] {
            return testing::runSibling("velmora-vpn-client", {"--pipe-name", socket, "stop", "5"})
                       .errors.find(refusal) != std::string::npos;
        },
        milliseconds(10000)));
    EXPECT_THAT(testing::readFile(log), Not(HasSubstr("instance 5")));  // the refused stop never arrived
    EXPECT_THAT(testing::clientAs(65534, {"--pipe-name", socket, "ping"}),
                Ran(0u, testing::okAnswer(R"({"status":"ok"})") + "\n", ""));
}

// A log no other user can plant, hold or grow: a folder others may write
// (even sticky), a file another user made, a link or no regular file is not
// used; a missing folder is made root's. (A log whose rotation another user
// blocks: the limit suite's flood.)
TEST_F(Folder, ALogIsKeptOnlyWhereNoOtherUserCanPlantHoldOrGrowIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play other users";
    const auto problem = [](const std::string& path) { return platform::LogFile(platform::fromUtf8(path)).problem(); };
    const std::string shared = folder + "/shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    EXPECT_EQ(problem(shared + "/service.log"), shared + " may be written by other users");
    EXPECT_FALSE(fs::exists(shared + "/service.log"));
    std::ofstream(log) << "planted\n";
    ASSERT_EQ(chown(log.c_str(), 65534, 65534), 0);
    EXPECT_EQ(problem(log), log + " is not a regular file that only the service's user may write");
    ::testing::internal::CaptureStderr();
    ServiceLogger(platform::fromUtf8(log), false).log("written");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "The log file is not used: " + problem(log) + "\n");
    EXPECT_EQ(testing::readFile(log), "planted\n");
    fs::remove(log);

    EXPECT_EQ(problem(folder + "/new/logs/service.log"), "");
    EXPECT_EQ(statOf(folder + "/new/logs").st_mode & 07777, 0755u);

    // A link (to a file or to nowhere) or no regular file is never written.
    fs::create_symlink(secret, folder + "/link");
    fs::create_symlink(folder + "/created", folder + "/dangling");
    ASSERT_EQ(mkfifo((folder + "/fifo").c_str(), 0600), 0);
    for (const char* name : {"/link", "/dangling", "/fifo"}) {
        EXPECT_THAT(problem(folder + name), ::testing::AllOf(::testing::StartsWith("open failed. error "),
                                                             ::testing::EndsWith(" (" + folder + name + ")")));
        ServiceLogger(platform::fromUtf8(folder + name), false).log("written");
    }
    EXPECT_TRUE(secretUntouched());
    EXPECT_FALSE(fs::exists(folder + "/created"));
}

// The way to a user's data folder: whatever another user made or may change
// on it is never used (a link, a folder of its own, one it may write); a
// root-owned sticky folder like /tmp may lie above it; what the service
// makes is root's, 0755 on the way and 0700 for the user's own, whatever the
// umask, and an own folder left open to others is narrowed to 0700.
TEST_F(Folder, AUsersDataFolderIsUsedOnlyWhereNoOtherUserCanChangeTheWay) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to play other users";
    const std::string data = folder + "/data";
    const std::string own = data + "/users/65534";
    const auto use = [&](const std::string& root) {
        platform::SystemError error;
        return platform::userDataFolder(root, {"uid 65534", false, {}}, error).value_or(platform::failureText(error));
    };
    const mode_t umaskBefore = umask(077);
    ASSERT_EQ(use(data), own);
    umask(umaskBefore);
    for (const std::string& made : {data, data + "/users"}) EXPECT_EQ(statOf(made).st_mode & 07777, 0755u);
    EXPECT_EQ(statOf(own).st_mode & 07777, 0700u);
    EXPECT_EQ(statOf(own).st_uid, 0u);
    chmod((data + "/users").c_str(), 0775);
    EXPECT_EQ(use(data), data + "/users may be written by other users");
    chmod((data + "/users").c_str(), 01777);  // sticky is enough above the user's own folder
    EXPECT_EQ(use(data), own);
    EXPECT_EQ(statOf(data + "/users").st_mode & 07777, 01777u);  // and what was there on the way stays as it was
    chmod(own.c_str(), 01777);                                   // but not for the folder itself
    EXPECT_EQ(use(data), own + " may be written by other users");
    chmod(own.c_str(), 0755);
    EXPECT_EQ(use(data), own);
    EXPECT_EQ(statOf(own).st_mode & 07777, 0700u);
    chown(own.c_str(), 65534, 65534);
    EXPECT_EQ(use(data), own + " is owned by user 65534");
    fs::create_directory(folder + "/elsewhere");
    fs::create_symlink(folder + "/elsewhere", folder + "/linked");
    EXPECT_EQ(use(folder + "/linked"), folder + "/linked is a link or not a folder");
    EXPECT_FALSE(fs::exists(folder + "/elsewhere/users"));
    EXPECT_EQ(use("relative/data"), "relative/data/users/65534 is not an absolute path");
    EXPECT_EQ(use(folder + "/../x"), folder + "/../x/users/65534 climbs with \"..\"");
}

// The operator's group is read from a root-owned file no one else may write,
// in folders no one else may write; anything else is reported, not used.
TEST_F(Folder, TheTrustedGroupIsReadOnlyFromAFileOnlyRootMayWrite) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to own the setting";
    const std::string place = folder + "/trusted-group";
    const auto read = [&](const std::string& at) {
        platform::SystemError error;
        return platform::readTrustedGroup({"", "", at}, error).value_or("none: " + platform::failureText(error));
    };
    const std::string notRoots = "none: " + place + " is not a file that only root may write";
    // No file, no group, no complaint (and no folder made for one); a place that is not absolute is refused.
    EXPECT_EQ(read(place) + read(folder + "/no/group") + read("g"), "none: none: none: g is not an absolute path");
    EXPECT_FALSE(fs::exists(folder + "/no"));

    std::ofstream(place) << "  root\n";
    chmod(place.c_str(), 0644);
    EXPECT_EQ(read(place), "gid 0");
    ASSERT_EQ(chown(place.c_str(), 65534, 0), 0);  // another user's, however narrow
    EXPECT_EQ(read(place), notRoots);
    ASSERT_EQ(chown(place.c_str(), 0, 0), 0);
    chmod(place.c_str(), 0664);
    EXPECT_EQ(read(place), notRoots);
    fs::remove(place);
    std::ofstream(place) << "no-such-group-here";
    EXPECT_EQ(read(place), "none: " + place + " names \"no-such-group-here\", which is no group");
    chmod(folder.c_str(), 0777);
    EXPECT_EQ(read(place), "none: " + folder + " may be written by other users");
}

}  // namespace
}  // namespace velmora::vpn
