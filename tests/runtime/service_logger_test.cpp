#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "runtime/service_logger.h"
#include "support/test_platform.h"

namespace velmora::vpn {
namespace {

namespace fs = std::filesystem;

class ServiceLoggerFile : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("velmora-logger-" + std::to_string(testing::currentProcessId()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path file = dir / "service.log";

    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    std::string contents() {
        std::ifstream in(file);  // text mode: CR LF reads back as a newline
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

TEST(ServiceLoggerFormat, TimestampThenOneSpaceThenTheMessageUnchanged) {
    const platform::LocalTime time{2024, 3, 5, 7, 8, 9};
    EXPECT_EQ(ServiceLogger::formatLine(time, "hello"), "2024-03-05 07:08:09 hello");
    EXPECT_EQ(ServiceLogger::formatLine(time, ""), "2024-03-05 07:08:09 ");
    EXPECT_EQ(ServiceLogger::formatLine({2024, 12, 31, 23, 59, 59}, "a\nb"), "2024-12-31 23:59:59 a\nb");
}

TEST_F(ServiceLoggerFile, LoggersAppendToTheSameFileAndKeepEarlierLines) {
    {
        ServiceLogger first(file.wstring(), false);
        first.log("one");
        first.log("two\nthree");
    }
    {
        ServiceLogger second(file.wstring(), false);
        second.log("");
    }
    // A message with a newline adds two lines; nothing follows the last newline.
    const std::string text = contents();
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.substr(19, 5), " one\n");
    EXPECT_EQ(text.substr(24 + 19, 11), " two\nthree\n");
    EXPECT_EQ(text.substr(text.size() - 2), " \n");
}

TEST_F(ServiceLoggerFile, AFileThatCannotBeOpenedIsNoError) {
    // The path names a folder: no file can be opened there, and logging goes on without one.
    EXPECT_NO_THROW({
        ServiceLogger logger(dir.wstring(), false);
        logger.log("lost");
    });
    EXPECT_TRUE(fs::is_directory(dir));
}

TEST_F(ServiceLoggerFile, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    {
        ServiceLogger logger(file.wstring(), false);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                const std::string message = "thread " + std::to_string(t) + " " + std::string(100, 'a' + t);
                for (int i = 0; i < kLines; ++i) logger.log(message);
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    std::ifstream in(file);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ASSERT_EQ(line.size(), 19u + 1 + 9 + 100) << line;
        const char fill = line.back();
        EXPECT_EQ(line.substr(line.size() - 100), std::string(100, fill));
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace velmora::vpn
