#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::vpn {

// A failure the server meets again on every try while it lasts (no pipe
// endpoint can be made, accepting fails): said when it starts, summed up
// once every `summaryEvery` while it lasts, and said when it ends, so a
// cause that lasts fills no log. Used by one thread; callers log what it
// returns.
class RepeatingFailure {
public:
    using Clock = std::chrono::steady_clock;
    // `what` names the thing that fails in the summary and end lines.
    RepeatingFailure(std::string what, std::chrono::milliseconds summaryEvery)
        : what_(std::move(what)), summaryEvery_(summaryEvery) {}

    // Lines for one more failure with `text`: the text itself when the
    // failure starts or its text changes, a summary when one is due.
    std::vector<std::string> failed(const std::string& text, Clock::time_point now = Clock::now());
    // Lines for a try that worked: the end of a failure that lasted.
    std::vector<std::string> succeeded();

private:
    std::vector<std::string> summary();

    const std::string what_;
    const std::chrono::milliseconds summaryEvery_;
    std::string text_;            // the failure under way; empty when none
    std::int64_t unsaid_ = 0;     // its repeats since it was last said or summed up
    std::int64_t total_ = 0;      // all its failures
    Clock::time_point lastSaid_;  // when it was last said or summed up
};

}  // namespace velmora::vpn
