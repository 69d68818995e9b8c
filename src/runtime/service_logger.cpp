#include "runtime/service_logger.h"

#include <cstdio>
#include <filesystem>
#include <iostream>

namespace velmora::vpn {

ServiceLogger::ServiceLogger(std::optional<std::wstring> path, bool writeToConsole) : writeToConsole_(writeToConsole) {
    // An empty path names no file; opening it would only fail anyway.
    if (path && !path->empty()) file_.open(std::filesystem::path(*path), std::ios::out | std::ios::app);
}

std::string ServiceLogger::formatLine(const platform::LocalTime& time, const std::string& message) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", time.year, time.month, time.day, time.hour,
                  time.minute, time.second);
    return std::string(stamp) + " " + message;
}

void ServiceLogger::log(const std::string& message) {
    // Everything but the writes happens before the lock is taken.
    const std::string line = formatLine(platform::currentLocalTime(), message);
    std::lock_guard lock(writeLock_);
    if (file_.is_open()) {
        file_ << line << '\n';
        file_.flush();
    }
    if (writeToConsole_) std::cerr << line << std::endl;
}

void logLine(const std::string& message) {
    if (processLogger) processLogger->log(message);
}

}  // namespace velmora::vpn
