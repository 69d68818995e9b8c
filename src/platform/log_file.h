#pragma once

#include <cstdint>
#include <string>

#include "platform/pipe_io.h"
#include "platform/system_error.h"

namespace velmora::vpn::platform {

// The service's log file, opened for appending and shared with every other
// reader and writer (openLogFileForAppend). Each append is written through
// at once, in text mode: on Windows a newline reaches the disk as CR LF. A
// failed append loses only its own text; the next one tries again, so logging
// resumes once the disk has room.
class LogFile {
public:
    // An empty path opens nothing; a file that cannot be opened, or may not
    // be used (openLogFileForAppend), leaves the object closed and says why.
    explicit LogFile(const std::wstring& path);

    bool isOpen() const;
    // Why a file that was asked for is not open; empty when it is.
    std::string problem() const;
    // False when the text could not be written whole.
    bool append(const std::string& text);
    // The file's size now, whoever wrote it (0 when closed).
    std::uint64_t size() const;
    // Renames the file to its name with ".1" added, replacing an older one,
    // and opens a new file at the name. When the rename fails the file stays
    // as it was and writing goes on in it; false then, with the reason.
    bool rotate(SystemError& error);
    // Empties the file, for when it cannot be rotated: the cap holds even
    // when another user, or a reader, keeps the rotation from happening.
    void restart();

private:
    std::wstring path_;
    OwnedHandle handle_;
    SystemError failure_;  // why the file is not open
};

}  // namespace velmora::vpn::platform
