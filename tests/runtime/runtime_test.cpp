#include "support/prelude.h"

#include <stdexcept>

#include "runtime/runtime.h"
#include "runtime/service_logger.h"

namespace velmora::vpn {
namespace {

// Runs the runtime in console mode with the backend given and a stop raised
// before the run begins (a stop control right after the running report, an
// interrupt right after the handler was installed): the run must end, not
// forget the stop.
std::uint32_t runStoppedEarly(const BackendFactory& makeBackend, bool consoleMode = true) {
    stopRequested = true;
    auto run = std::async(std::launch::async, [&] { return runServer(consoleMode, makeBackend); });
    const bool ended = run.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    stopRequested = true;  // releases a run that forgot the stop, so the test ends either way
    EXPECT_TRUE(ended);
    return run.get();
}

// The runtime stops every instance once the server has stopped, and only then
// says it has stopped. (A backend that cannot be built: the events below and
// the service program's tests.)
TEST(Runtime, StopsEveryInstanceAfterTheServerThenSaysSoLast) {
    const std::string folder = testing::makeTempFolder("runtime");
    const std::string log = folder + "/service.log";
    processOptions = ServiceOptions{.pipeName = testing::uniquePipeName(), .logFile = platform::fromUtf8(log)};
    Lines atStopAll;
    EXPECT_EQ(runStoppedEarly([&] {
                  auto backend = std::make_unique<testing::FakeBackend>();
                  EXPECT_CALL(*backend, stopAllInstances).WillOnce([&] {
                      atStopAll = messagesOf(testing::readFile(log));
                      return StopResult{true, {}};
                  });
                  return backend;
              }),
              0u);
    EXPECT_THAT(
        messagesOf(testing::readFile(log)),
        ElementsAre("Velmora VPN service runtime starting", "Pipe: " + platform::toUtf8(processOptions.pipeName),
                    "Named pipe server starting", "Named pipe server stopped", "Velmora VPN service runtime stopped"));
    EXPECT_EQ(atStopAll.size(), 4u);  // up to the server's last line
    processLogger.reset();            // it holds the log file open
    fs::remove_all(folder);
}

// A service run reports its start (version, pipe, log file), its stop (exit
// code) and a fatal error to the system's event log, once each; a console
// run reports nothing.
TEST(Runtime, AServiceRunReportsItsStartStopAndFatalErrorAsEvents) {
    using Event = std::tuple<std::uint32_t, platform::EventLevel, Lines>;
    using enum platform::EventLevel;
    std::vector<Event> events;
    reportServiceEvent = [&](std::uint32_t event, platform::EventLevel level, const Lines& texts) {
        events.push_back({event, level, texts});
    };
    processOptions = ServiceOptions{};
    processOptions.pipeName = testing::uniquePipeName();
    const auto anEngine = [] { return std::make_unique<testing::FakeBackend>(); };
    EXPECT_EQ(runStoppedEarly(anEngine), 0u);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(runStoppedEarly(anEngine, false), 0u);
    const std::string pipe = platform::toUtf8(processOptions.pipeName);
    EXPECT_EQ(events,
              (std::vector<Event>{{1, information, {VELMORA_PROJECT_VERSION, pipe, "none"}}, {2, information, {"0"}}}));
    events.clear();
    EXPECT_EQ(
        runStoppedEarly([]() -> std::unique_ptr<SingBoxBackend> { throw std::runtime_error("no engine"); }, false),
        1066u);
    EXPECT_EQ(events, (std::vector<Event>{{3, error, {"no engine"}}, {2, warning, {"1066"}}}));
    reportServiceEvent = nullptr;
    processLogger.reset();
}

// Log lines begin with the local time, every field of fixed width. A log
// that reaches its cap is renamed to "<name>.1", replacing the one before,
// and begun anew: the two hold only whole lines, the newest ones, none lost
// between them, and never more than the cap each.
TEST(ServiceLog, LinesBeginWithTheTimeAndAFullLogIsRotatedKeepingTheNewestWholeLines) {
    EXPECT_EQ(ServiceLogger::formatLine({2026, 1, 2, 3, 4, 5}, "message"), "2026-01-02 03:04:05 message");
    EXPECT_EQ(ServiceLogger::formatLine({999, 12, 31, 23, 59, 59}, ""), "0999-12-31 23:59:59 ");
    const std::string folder = testing::makeTempFolder("rotation");
    const std::string log = folder + "/service.log";
    {
        ServiceLogger logger(platform::fromUtf8(log), false, 1000);
        for (int line = 0; line < 100; ++line) logger.log("line " + std::to_string(line));
    }
    const Lines kept = messagesOf(testing::readFile(log + ".1") + testing::readFile(log));  // each whole lines
    for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i], "line " + std::to_string(100 - kept.size() + i));
    EXPECT_LE(fs::file_size(log), 1000u);
    EXPECT_THAT(fs::file_size(log + ".1"), ::testing::AllOf(::testing::Gt(900u), ::testing::Le(1000u)));

    // One that cannot be rotated (its ".1" a folder) starts again, first saying why, and keeps its cap.
    fs::remove(log + ".1");
    fs::create_directory(log + ".1");
    {
        ServiceLogger logger(platform::fromUtf8(log), false, 1000);
        for (int line = 0; line < 30; ++line) logger.log("line " + std::to_string(line));
    }
    const Lines restarted = messagesOf(testing::readFile(log));
    EXPECT_EQ(linesOf(testing::readFile(log)).front().find(" The log file"), 19u);  // after a whole time stamp
    ASSERT_FALSE(restarted.empty());
    // Windows' own text for the error ends its line; the file's name follows on the next.
    const bool onLinux = testing::programFileName("x") == "x";
    EXPECT_THAT(restarted.front(),
                ::testing::StartsWith("The log file could not be rotated and starts again empty: " +
                                      std::string(onLinux ? "rename" : "MoveFileExW") + " failed. "));
    EXPECT_THAT(testing::readFile(log), HasSubstr(log + ".1)"));
    EXPECT_EQ(restarted.back(), "line 29");
    EXPECT_LE(fs::file_size(log), 1000u);
    // The line that brings a log to its cap (each newline counted as CR LF) is the last before a rotation.
    for (const std::uintmax_t over : {0, 1}) {
        const std::string edge = folder + "/edge" + std::to_string(over) + ".log";
        ServiceLogger logger(platform::fromUtf8(edge), false, 100);
        logger.log("a");
        logger.log(std::string(78 + over - fs::file_size(edge), 'b'));
        EXPECT_EQ(fs::exists(edge + ".1"), over == 1);
    }
    fs::remove_all(folder);
}

}  // namespace
}  // namespace velmora::vpn
