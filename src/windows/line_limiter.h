#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::vpn {

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
    // Whether a whole second has passed since its last line and nothing is
    // left to sum up: the limiter may go.
    bool idle(Clock::time_point now = Clock::now());

private:
    std::vector<std::string> rollOver(Clock::time_point now);  // with mutex_ held

    const std::int32_t perSecond_;
    const std::string subject_;
    std::mutex mutex_;  // guards the three members below
    Clock::time_point secondStart_{};
    std::int32_t admitted_ = 0;
    std::int64_t leftOut_ = 0;
};

// A LineLimiter of its own for each user, so that one user's flood leaves
// out none of another user's lines; a user's limiter goes once it is idle.
class UserLineLimiters {
public:
    using Clock = LineLimiter::Clock;
    // Summaries read "N more lines about <subject> of <user> left out ...".
    UserLineLimiters(std::int32_t perSecond, std::string subject)
        : perSecond_(perSecond), subject_(std::move(subject)) {}

    std::vector<std::string> admit(const std::string& user, const std::string& line,
                                   Clock::time_point now = Clock::now());
    std::vector<std::string> flush(Clock::time_point now = Clock::now());

private:
    const std::int32_t perSecond_;
    const std::string subject_;
    std::mutex mutex_;  // guards limiters_ (each limiter locks itself inside it)
    std::map<std::string, std::unique_ptr<LineLimiter>> limiters_;
};

}  // namespace velmora::vpn
