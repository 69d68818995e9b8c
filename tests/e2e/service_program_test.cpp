#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/service_options.h"
#include "runtime/service_host.h"
#include "platform/text.h"
#include "support/running_server.h"
#include "support/test_platform.h"
#include "support/text_lines.h"
#include "support/wait_until.h"

namespace velmora::vpn {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::linesOf;
using testing::ProgramRun;
using testing::SiblingProcess;
using ::testing::StartsWith;

const std::string kService = "VelmoraVpnService";

// Text written through a text-mode stream on Windows has CR LF line ends.
std::string withoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// The message of a log line, without its 19-character timestamp and the space.
std::vector<std::string> messagesOf(const std::string& text) {
    std::vector<std::string> messages;
    for (const std::string& line : linesOf(text)) messages.push_back(line.size() > 20 ? line.substr(20) : line);
    return messages;
}

bool pings(const std::string& pipeName) {
    return testing::runSibling("velmora-vpn-client", {"--pipe-name", pipeName, "--timeout", "200", "ping"}).exitCode ==
           0;
}

TEST(ServiceProgram, HelpWinsOverEveryOtherOption) {
    const ProgramRun run = testing::runSibling(kService, {"--install-service", "--help", "--console"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(withoutCarriageReturns(run.output), usageText());
    EXPECT_EQ(run.errors, "");
}

TEST(ServiceProgram, InstallAndUninstallTogetherIsRefusedInEitherOrder) {
    for (const auto& order : {std::vector<std::string>{"--install-service", "--uninstall-service"},
                              std::vector<std::string>{"--uninstall-service", "--start", "--install-service"}}) {
        const ProgramRun run = testing::runSibling(kService, order);
        EXPECT_EQ(run.exitCode, 87u);
        EXPECT_EQ(withoutCarriageReturns(run.errors),
                  "Use either --install-service or --uninstall-service, not both.\n");
        EXPECT_EQ(run.output, "");
    }
}

TEST(ServiceProgram, WithoutAServiceManagerInstallingIsNotSupported) {
    if (serviceManagerAvailable()) GTEST_SKIP() << "covered by the service manager tests";
    for (const char* option : {"--install-service", "--uninstall-service"}) {
        const ProgramRun run = testing::runSibling(kService, {option});
        EXPECT_EQ(run.exitCode, 50u);
        EXPECT_THAT(run.errors, HasSubstr("not supported on this platform yet"));
        EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1);
    }
}

TEST(ServiceProgram, AnEngineLibraryMissingBesideTheProgramIsAFatalErrorWith1066) {
    // A copy of the program in a folder without the engine library. The
    // build's engine is on the library search path, where a user could have
    // put any library: the service must not take it from there.
    const std::string folder = testing::makeTempFolder("fatal");
    const testing::LibrarySearchPath planted(fs::path(testing::siblingProgram("x")).parent_path().string());
    const fs::path copy = fs::path(folder) / testing::programFileName(kService);
    fs::copy_file(testing::siblingProgram(testing::programFileName(kService)), copy);
    const std::string log = (fs::path(folder) / "service.log").string();
    const std::string pipe = toUtf8(testing::uniquePipeName());

    const ProgramRun run = testing::runSibling(copy.string(), {"--console", "--log-file", log, "--pipe-name", pipe});
    EXPECT_EQ(run.exitCode, testing::observedExitCode(1066));
    const auto messages = messagesOf(testing::readFile(log));
    ASSERT_EQ(messages.size(), 3u) << testing::readFile(log);
    EXPECT_EQ(messages[0], "Velmora VPN service runtime starting");
    EXPECT_EQ(messages[1], "Pipe: " + pipe);
    EXPECT_THAT(messages[2], StartsWith("Fatal error: "));
    EXPECT_THAT(messages[2], HasSubstr("sing-box"));
    EXPECT_THAT(messages[2], HasSubstr(") failed"));
    // In console mode the same lines go to standard error.
    EXPECT_EQ(messagesOf(run.errors), messages);
    fs::remove_all(folder);
}

// Started with standard handles, and without any, as the service manager
// starts a service: every route of writing reaches the log file.
TEST(ServiceProgram, ServiceModeSendsEverythingIntoTheLogFileAndKeepsItsContent) {
    for (const bool standardHandles : {true, false}) {
        const std::string folder = testing::makeTempFolder("redirect");
        const std::string log = (fs::path(folder) / "service.log").string();
        { std::ofstream(log) << "an earlier line\n"; }

        testing::SiblingProcess child("redirect_child", {log}, standardHandles);
        const ProgramRun run = child.wait();
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(run.errors, "");
        const auto lines = linesOf(testing::readFile(log));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "an earlier line");
        for (const char* expected : {"os stdout", "os stderr", "c stdout", "c stderr", "c++ stdout", "c++ stderr"}) {
            EXPECT_EQ(std::count(lines.begin(), lines.end(), expected), 1) << expected << standardHandles;
        }
        fs::remove_all(folder);
    }
}

TEST(ServiceProgram, EmptyPipeNameAndLogPathFallBackToTheDefaultsQuietly) {
    // This test must own the default pipe: a service already serving there
    // (a console run on the developer's machine) would answer in its place.
    const std::string defaultPipe = "\\\\.\\pipe\\VelmoraVpnService";
    if (pings(defaultPipe)) GTEST_SKIP() << "a service already serves the default pipe";
    // An empty pipe name means the default pipe; an empty log path means no log file.
    testing::SiblingProcess service(kService, {"--console", "--pipe-name=", "--log-file="});
    ASSERT_TRUE(testing::waitUntil([&] { return pings(defaultPipe); }, std::chrono::milliseconds(10000)));
    service.interrupt();
    const ProgramRun run = service.wait();
    const auto messages = messagesOf(run.errors);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[1], "Pipe: ");
    // What answered was this run: with it gone, nothing does.
    EXPECT_FALSE(pings(defaultPipe));
}

TEST(ServiceProgram, AnInterruptedRunStopsInOrderAndExitsWithZero) {
    if (serviceManagerAvailable()) GTEST_SKIP() << "Windows console interrupts are tested by the interrupt script";
    const std::string folder = testing::makeTempFolder("interrupt");
    const std::string log = (fs::path(folder) / "service.log").string();
    { std::ofstream(log) << "an earlier line\n"; }
    const std::string pipe = toUtf8(testing::uniquePipeName());

    // No --console: without a service manager a plain start is a console run.
    for (const auto& mode :
         {std::vector<std::string>{}, std::vector<std::string>{"--console"}, std::vector<std::string>{"--service"}}) {
        std::vector<std::string> arguments{"--log-file", log, "--pipe-name", pipe};
        arguments.insert(arguments.end(), mode.begin(), mode.end());
        SiblingProcess service(kService, arguments);
        ASSERT_TRUE(testing::waitUntil([&] { return pings(pipe); }));
        service.interrupt();
        const ProgramRun run = service.wait();
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(messagesOf(testing::readFile(log)).back(), "Velmora VPN service runtime stopped");
        const bool consoleRun = mode.empty() || mode[0] == "--console";
        // Service mode writes nothing to the console; a console run logs there too.
        EXPECT_EQ(run.errors.empty(), !consoleRun);
        if (consoleRun) {
            EXPECT_EQ(messagesOf(run.errors).back(), "Velmora VPN service runtime stopped");
        }
    }
    EXPECT_EQ(linesOf(testing::readFile(log)).front(), "an earlier line");
    fs::remove_all(folder);
}

}  // namespace
}  // namespace velmora::vpn
