#include "support/prelude.h"

#include "operations.h"

#include "runtime/service_host.h"

namespace velmora::vpn {
namespace {

const std::string kService = "VelmoraVpnService";

TEST(ServiceProgram, HelpWinsAndInstallWithUninstallIsRefusedInEitherOrder) {
    EXPECT_THAT(testing::runSibling(kService, {"--install-service", "--help", "--console"}),
                Ran(0u, ::testing::ResultOf(linesOf, testing::docBlock(kOperationsDoc, "## The command line")), ""));
    for (const Lines& order : {Lines{"--install-service", "--uninstall-service"},
                               Lines{"--uninstall-service", "--start", "--install-service"}}) {
        const ProgramRun run = testing::runSibling(kService, order);
        EXPECT_THAT(run, Ran(87u, "", ::testing::EndsWith("\n")));
        EXPECT_EQ(linesOf(run.errors), Lines{"Use either --install-service or --uninstall-service, not both."});
    }
    if (serviceManagerAvailable()) return;  // installing is for the service manager tests
    EXPECT_THAT(testing::runSibling(kService, {"--uninstall-service"}),
                Ran(50u, "",
                    "Service removal is not supported on this platform yet; remove the service from your "
                    "service manager\n"));
    EXPECT_THAT(testing::runSibling(kService, {"--install-service"}),
                Ran(50u, "",
                    "Service installation is not supported on this platform yet; run VelmoraVpnService --service "
                    "under a service manager such as systemd\n"));
}

TEST(ServiceProgram, AnEngineLibraryMissingBesideTheProgramIsAFatalErrorWith1066) {
    // A copy of the program in a folder without the engine library. The
    // build's engine is on the library search path, where a user could have
    // put any library: the service must not take it from there.
    const std::string folder = testing::makeTempFolder("fatal");
    testing::addLibrarySearchFolder(fs::path(testing::siblingProgram("x")).parent_path().string());
    const std::string copy = testing::copyService(folder, false);
    const std::string log = folder + "/service.log";
    const std::string pipe = platform::toUtf8(testing::uniquePipeName());

    const ProgramRun run = testing::runSibling(copy, {"--console", "--log-file", log, "--pipe-name", pipe});
    EXPECT_EQ(run.exitCode, testing::observedExitCode(1066));
    const Lines messages = messagesOf(testing::readFile(log));
    EXPECT_THAT(messages,
                ElementsAre("Velmora VPN service runtime starting", "Pipe: " + pipe,
                            ::testing::AnyOf("Fatal error: LoadLibraryA(sing-box.dll) failed. Windows error: 126",
                                             ::testing::StartsWith("Fatal error: dlopen(libsing-box.so) failed: " +
                                                                   folder + "/libsing-box.so: "))));
    EXPECT_EQ(messagesOf(run.errors), messages);  // in console mode the same lines go to standard error
    fs::remove_all(folder);
}

// Started with standard handles, and without any, as the service manager
// starts a service: every route of writing reaches the log file, in the order
// written (a line waiting in a C stream goes first), after what it already
// held. Wine's C runtime refuses to reopen a stream it started
// without a descriptor (Windows' runtimes do reopen it): there, and only
// without standard handles, the child says so and the C and C++ lines are
// lost, while the system's handles still follow.
TEST(ServiceProgram, ServiceModeSendsEverythingIntoTheLogFileAndKeepsItsContent) {
    for (const bool standardHandles : {true, false}) {
        const std::string folder = testing::makeTempFolder("redirect");
        const std::string log = folder + "/service.log";
        std::ofstream(log) << "an earlier line\n";
        const testing::ProgramRun run = testing::SiblingProcess("redirect_child", {log}, standardHandles).wait();
        EXPECT_THAT(run,
                    Ran(::testing::AnyOf(0u, standardHandles ? 0u : 3u),
                        ::testing::ResultOf(linesOf, standardHandles ? Lines{"before", "os before"} : Lines{}), ""));
        Lines expected{"an earlier line"};
        for (const std::string line : {"c stdout", "os stdout", "c stderr", "os stderr", "c++ stdout", "c++ stderr"})
            if (run.exitCode == 0 || line.starts_with("os")) expected.push_back(line);
        EXPECT_EQ(linesOf(testing::readFile(log)), expected);  // in the order written
        fs::remove_all(folder);
    }
}

}  // namespace
}  // namespace velmora::vpn
