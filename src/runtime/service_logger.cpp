#include "runtime/service_logger.h"

#include <cstdio>

#include "platform/console_text.h"
#include "platform/text.h"

namespace velmora::vpn {

ServiceLogger::ServiceLogger(std::optional<std::wstring> path, bool writeToConsole, std::uint64_t fileCap)
    : writeToConsole_(writeToConsole), fileCap_(fileCap), file_(path.value_or(std::wstring())) {
    // Said where someone watching the run sees it: the console, or whatever
    // the service manager keeps of standard error. The log itself has no file.
    const std::string problem = file_.problem();
    if (!problem.empty()) {
        platform::writeLine(platform::StandardStream::error,
                            platform::fromUtf8("The log file is not used: " + problem));
    }
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
    // Whole lines only: the file is rotated before the line that would pass
    // the cap. One that cannot be rotated starts again, and says why first.
    if (file_.isOpen() && file_.size() + line.size() + 2 > fileCap_) {
        platform::SystemError error;
        if (!file_.rotate(error)) {
            file_.restart();
            file_.append(line.substr(0, line.size() - message.size()) +
                         "The log file could not be rotated and starts again empty: " + platform::failureText(error) +
                         '\n');
        }
    }
    if (file_.isOpen()) file_.append(line + '\n');
    // Wide on a console, UTF-8 elsewhere: system texts in any language arrive whole.
    if (writeToConsole_) platform::writeLine(platform::StandardStream::error, platform::fromUtf8(line));
}

void logLine(const std::string& message) {
    if (processLogger) processLogger->log(message);
}

}  // namespace velmora::vpn
