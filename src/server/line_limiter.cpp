#include "server/line_limiter.h"

namespace velmora::vpn {

std::string cutForLog(const std::string& text, std::size_t most) {
    if (text.size() <= most) return text;
    std::size_t end = most;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;  // inside a character
    return text.substr(0, end) + "... [cut, " + std::to_string(text.size()) + " bytes in all]";
}

std::vector<std::string> LineLimiter::rollOver(Clock::time_point now) {
    std::vector<std::string> lines;
    if (now - secondStart_ < std::chrono::seconds(1)) return lines;
    if (leftOut_ > 0) {
        lines.push_back(std::to_string(leftOut_) + " more lines about " + subject_ + " left out in the last second");
    }
    secondStart_ = now;
    admitted_ = 0;
    leftOut_ = 0;
    return lines;
}

std::vector<std::string> LineLimiter::admit(const std::string& line, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines = rollOver(now);
    if (admitted_ < perSecond_) {
        ++admitted_;
        lines.push_back(line);
    } else {
        ++leftOut_;
    }
    return lines;
}

std::vector<std::string> LineLimiter::flush(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (leftOut_ == 0) return {};
    return rollOver(now);
}

std::vector<std::string> UserLineLimiters::admit(const std::string& user, const std::string& line,
                                                 Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (now - secondStart_ >= std::chrono::seconds(1)) {
        secondStart_ = now;
        bytes_ = 0;
    }
    Count& count = users_[user];
    if (now - count.secondStart >= std::chrono::seconds(1)) {
        count.secondStart = now;
        count.lines = 0;
        count.bytes = 0;
    }
    const std::size_t cost = line.size() + kLineOverhead;
    if (count.lines >= perSecond_ || cost > bytesPerSecond_ - count.bytes || cost > allUsersBytesPerSecond_ - bytes_) {
        ++count.leftOut;
        return {};
    }
    ++count.lines;
    count.bytes += cost;
    bytes_ += cost;
    return {line};
}

std::vector<std::string> UserLineLimiters::flush(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    std::int64_t othersLeftOut = 0;
    std::size_t others = 0;
    for (auto entry = users_.begin(); entry != users_.end();) {
        Count& count = entry->second;
        if (count.leftOut > 0 && lines.size() < kSummedUpUsers) {
            lines.push_back(std::to_string(count.leftOut) + " more lines about " + subject_ + " of " + entry->first +
                            " left out in the last second");
        } else if (count.leftOut > 0) {
            othersLeftOut += count.leftOut;
            ++others;
        }
        count.leftOut = 0;
        const bool idle = now - count.secondStart >= std::chrono::seconds(1);
        entry = idle ? users_.erase(entry) : std::next(entry);
    }
    if (others > 0) {
        lines.push_back(std::to_string(othersLeftOut) + " more lines about " + subject_ + " of " +
                        std::to_string(others) + " more users left out in the last second");
    }
    return lines;
}

}  // namespace velmora::vpn
