#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::vpn {

// A text a caller chose (a key, a location, a value), cut for a log line to
// its first `most` bytes (never inside a character) and marked with its
// whole length; a text that fits is returned as it is.
std::string cutForLog(const std::string& text, std::size_t most);

// Keeps a flood of alike lines out of the log: at most `perSecond` of them in
// any one second; the rest are counted and summed up in one line once the
// second is over. Callers log what `admit` and `flush` return, outside any
// lock of theirs.
class LineLimiter {
public:
    using Clock = std::chrono::steady_clock;
    // `subject` names the lines in the summary: "N more lines about
    // <subject> left out in the last second".
    LineLimiter(std::int32_t perSecond, std::string subject) : perSecond_(perSecond), subject_(std::move(subject)) {}

    // The lines to log for this one: a summary of an earlier second that
    // left lines out, if any, and the line itself unless this second is full.
    std::vector<std::string> admit(const std::string& line, Clock::time_point now = Clock::now());
    // The summary of a second that is over and left lines out, or nothing.
    std::vector<std::string> flush(Clock::time_point now = Clock::now());

private:
    std::vector<std::string> rollOver(Clock::time_point now);  // with mutex_ held

    const std::int32_t perSecond_;
    const std::string subject_;
    std::mutex mutex_;  // guards the three members below
    Clock::time_point secondStart_{};
    std::int32_t admitted_{};  // the first line starts a second, which sets it
    std::int64_t leftOut_ = 0;
};

// A limit of its own for each user, in lines and bytes a second, so that
// one user's flood leaves out none of another user's lines, and a budget of
// bytes a second all users share, so that many users together cannot fill
// the log either. A line's bytes count with its time stamp and line break.
// What is left out is summed up by `flush`, once a second: a line for each
// of the first few users, and one for all the others together.
class UserLineLimiters {
public:
    using Clock = LineLimiter::Clock;
    // The bytes a line takes in the log beyond its message.
    static constexpr std::size_t kLineOverhead = 22;
    // Users summed up one by one in a flush; the rest share one line.
    static constexpr std::size_t kSummedUpUsers = 4;
    // Summaries read "N more lines about <subject> of <user> left out ...".
    UserLineLimiters(std::int32_t perSecond, std::string subject, std::size_t bytesPerSecond = SIZE_MAX,
                     std::size_t allUsersBytesPerSecond = SIZE_MAX)
        : perSecond_(perSecond),
          bytesPerSecond_(bytesPerSecond),
          allUsersBytesPerSecond_(allUsersBytesPerSecond),
          subject_(std::move(subject)) {}

    // The line itself, or nothing when it is left out.
    std::vector<std::string> admit(const std::string& user, const std::string& line,
                                   Clock::time_point now = Clock::now());
    std::vector<std::string> flush(Clock::time_point now = Clock::now());

private:
    struct Count {
        Clock::time_point secondStart{};
        std::int32_t lines{};
        std::size_t bytes{};
        std::int64_t leftOut{};  // since the last flush
    };

    const std::int32_t perSecond_;
    const std::size_t bytesPerSecond_;
    const std::size_t allUsersBytesPerSecond_;
    const std::string subject_;
    std::mutex mutex_;  // guards the three members below
    std::map<std::string, Count> users_;
    Clock::time_point secondStart_{};  // the shared budget's second
    std::size_t bytes_{};              // spent of it (reset with the second)
};

}  // namespace velmora::vpn
