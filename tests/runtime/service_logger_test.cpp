#include "support/prelude.h"

#include "runtime/service_logger.h"

namespace velmora::vpn {
namespace {

TEST(ServiceLoggerFormat, TimestampThenOneSpaceThenTheMessageUnchanged) {
    const platform::LocalTime time{2024, 3, 5, 7, 8, 9};
    EXPECT_EQ(ServiceLogger::formatLine(time, "hello"), "2024-03-05 07:08:09 hello");
    EXPECT_EQ(ServiceLogger::formatLine(time, ""), "2024-03-05 07:08:09 ");
    EXPECT_EQ(ServiceLogger::formatLine({2024, 12, 31, 23, 59, 59}, "a\nb"), "2024-12-31 23:59:59 a\nb");
}

class ServiceLoggerFile : public ::testing::Test {
protected:
    std::string folder = testing::makeTempFolder("logger");
    std::wstring file = fromUtf8(folder + "/service.log");
    void TearDown() override { fs::remove_all(folder); }
    // The file's lines, less the timestamp and space of each line that has one.
    Lines messages() {
        Lines messages;
        for (const std::string& line : linesOf(testing::readFile(folder + "/service.log"))) {
            const bool stamped = line.size() >= 20 && line[4] == '-' && line[13] == ':' && line[19] == ' ';
            messages.push_back(stamped ? line.substr(20) : line);
        }
        return messages;
    }
};

// A message with a newline adds two lines; each logger appends; nothing
// follows the last newline.
TEST_F(ServiceLoggerFile, LoggersAppendToTheSameFileAndKeepEarlierLines) {
    ServiceLogger(file, false).log("one");
    ServiceLogger(file, false).log("two\nthree");
    ServiceLogger(file, false).log("");
    EXPECT_EQ(messages(), (Lines{"one", "two", "three", ""}));
}

TEST_F(ServiceLoggerFile, LinesFromManyThreadsStayWhole) {
    {
        ServiceLogger logger(file, false);
        std::vector<std::thread> threads;
        for (char fill = 'a'; fill < 'i'; ++fill) {
            threads.emplace_back([&logger, fill] {
                for (int i = 0; i < 200; ++i) logger.log(std::string(100, fill));
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    const Lines lines = messages();
    EXPECT_EQ(lines.size(), 8u * 200);
    for (const std::string& line : lines) ASSERT_EQ(line, std::string(100, line.front()));
}

}  // namespace
}  // namespace velmora::vpn
