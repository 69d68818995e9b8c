#include "windows/line_limiter.h"

namespace velmora::vpn {

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

bool LineLimiter::idle(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    return leftOut_ == 0 && now - secondStart_ >= std::chrono::seconds(1);
}

std::vector<std::string> UserLineLimiters::admit(const std::string& user, const std::string& line,
                                                 Clock::time_point now) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<LineLimiter>& limiter = limiters_[user];
    if (!limiter) limiter = std::make_unique<LineLimiter>(perSecond_, subject_ + " of " + user);
    return limiter->admit(line, now);
}

std::vector<std::string> UserLineLimiters::flush(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (auto entry = limiters_.begin(); entry != limiters_.end();) {
        for (std::string& summary : entry->second->flush(now)) lines.push_back(std::move(summary));
        entry = entry->second->idle(now) ? limiters_.erase(entry) : std::next(entry);
    }
    return lines;
}

}  // namespace velmora::vpn
