#pragma once

#include <cstdint>
#include <string>

#include "platform/pipe_io.h"

namespace velmora::vpn::platform {

// The service's log file, opened for appending and shared with every other
// reader and writer (openLogFileForAppend). Each append is written through
// at once, in text mode: on Windows a newline reaches the disk as CR LF. A
// failed append loses only its own text; the next one tries again, so logging
// resumes once the disk has room.
class LogFile {
public:
    // An empty path opens nothing; a file that cannot be opened leaves the
    // object closed, silently.
    explicit LogFile(const std::wstring& path);

    bool isOpen() const;
    // False when the text could not be written whole.
    bool append(const std::string& text);
    // The file's size now, whoever wrote it (0 when closed).
    std::uint64_t size() const;
    // Renames the file to its name with ".1" added, replacing an older one,
    // and opens a new file at the name. When the rename fails the file stays
    // as it was and writing goes on in it; false then.
    bool rotate();

private:
    std::wstring path_;
    OwnedHandle handle_;
};

}  // namespace velmora::vpn::platform
