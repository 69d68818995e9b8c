#pragma once

#include <chrono>
#include <cstdint>
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

private:
    std::vector<std::string> rollOver(Clock::time_point now);  // with mutex_ held

    const std::int32_t perSecond_;
    const std::string subject_;
    std::mutex mutex_;  // guards the three members below
    Clock::time_point secondStart_{};
    std::int32_t admitted_ = 0;
    std::int64_t leftOut_ = 0;
};

}  // namespace velmora::vpn
