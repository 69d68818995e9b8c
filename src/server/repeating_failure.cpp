#include "server/repeating_failure.h"

namespace velmora::vpn {

std::vector<std::string> RepeatingFailure::summary() {
    std::vector<std::string> lines;
    if (unsaid_ > 0) {
        lines.push_back(what_ + " failed " + std::to_string(unsaid_) +
                        (unsaid_ == 1 ? " more time: " : " more times: ") + text_);
        unsaid_ = 0;
    }
    return lines;
}

std::vector<std::string> RepeatingFailure::failed(const std::string& text, Clock::time_point now) {
    if (text == text_) {
        ++unsaid_;
        ++total_;
        if (now - lastSaid_ < summaryEvery_) return {};
        lastSaid_ = now;
        return summary();
    }
    std::vector<std::string> lines = summary();
    lines.push_back(text);
    text_ = text;
    ++total_;
    lastSaid_ = now;
    return lines;
}

std::vector<std::string> RepeatingFailure::succeeded() {
    if (text_.empty()) return {};
    std::vector<std::string> lines = summary();
    lines.push_back(what_ + " works again after " + std::to_string(total_) + " failures");
    text_.clear();
    total_ = 0;
    return lines;
}

}  // namespace velmora::vpn
