#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/local_time.h"
#include "platform/log_file.h"

namespace velmora::vpn {

// The size at which the log file is renamed to "<name>.1" (replacing the one
// before) and a new one begun: the log and its one predecessor hold at most
// twice this, however long the service runs and whatever clients ask of it.
inline constexpr std::uint64_t kLogFileCap = 8 * 1024 * 1024;

// The service's one log: each line is "YYYY-MM-DD hh:mm:ss message", appended
// to an optional log file and, in console mode, written to standard error.
class ServiceLogger {
public:
    // With a path, opens the file for appending in text mode, shared with
    // other writers and readers; a file that cannot be opened or may not be
    // used (another user could plant, hold or grow it) means no file lines,
    // and one line on standard error says why. A failed write costs only its
    // line: writing resumes with the next one. A file that cannot be rotated
    // at its cap starts again empty.
    // The cap is the product's unless a test asks for a smaller one.
    ServiceLogger(std::optional<std::wstring> path, bool writeToConsole, std::uint64_t fileCap = kLogFileCap);
    ServiceLogger(const ServiceLogger&) = delete;
    ServiceLogger& operator=(const ServiceLogger&) = delete;

    // Callable from any thread; the file line comes before the console line,
    // both under one hold of the lock, and the file is flushed at once.
    void log(const std::string& message);

    // The line for a message at a given local time, without its newline.
    // Public for its test, which pins the format at fixed times.
    static std::string formatLine(const platform::LocalTime& time, const std::string& message);

private:
    bool writeToConsole_;
    std::uint64_t fileCap_;
    platform::LogFile file_;
    std::mutex writeLock_;  // guards file_ and the console writes
};

// The process-wide logger, replaced by each run of the runtime.
extern std::unique_ptr<ServiceLogger> processLogger;

// Logs through the process-wide logger; does nothing before there is one.
void logLine(const std::string& message);

}  // namespace velmora::vpn
