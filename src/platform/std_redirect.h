#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/system_error.h"
#include "platform/unique_handle.h"

namespace velmora::vpn::platform {

// Standard output and standard error sent into the log file (service mode).
// Holds the handles it installed as the process's standard handles; tearing
// it down flushes the standard streams and closes those handles, without
// restoring the earlier ones.
class StdHandleRedirect {
public:
    StdHandleRedirect() = default;
    // The streams are flushed before the handles close with the members.
    ~StdHandleRedirect() { std::fflush(nullptr); }
    StdHandleRedirect(const StdHandleRedirect&) = delete;
    StdHandleRedirect& operator=(const StdHandleRedirect&) = delete;

    std::vector<OwnedHandle> keptHandles;
    // False when a C stream (and the C++ stream on it) still writes where
    // it did: a runtime that started without standard handles may refuse to
    // reopen its streams. The process's standard handles follow regardless.
    bool runtimeStreamsFollow = true;
};

// Redirects the operating-system standard handles and the C standard streams
// stdout and stderr into the file, appending. A stream whose redirection
// fails is left as it was; `runtimeStreamsFollow` tells.
std::unique_ptr<StdHandleRedirect> redirectStdHandles(const std::wstring& logFile);

// Opens a private handle on the file for appending only, shared with every
// other writer, creating it when missing and never truncating it. The service
// writes it with the system's rights, so its folder is made when missing
// (writable by the system and administrators only) and must be one no other
// user may write, and the file must be no link and writable by no one else.
// Returns an empty handle on failure, with the reason in `why` when given.
OwnedHandle openLogFileForAppend(const std::wstring& path, SystemError* why = nullptr);

}  // namespace velmora::vpn::platform
