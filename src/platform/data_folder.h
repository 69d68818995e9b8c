#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/caller_identity.h"
#include "platform/system_error.h"

// The folders where the service keeps what it holds for ordinary users (the
// engine's cache file). The engine opens them by path with the service's
// rights, so no one but the system's administrators may write anywhere along
// the way: then nobody else can plant a link, junction or rename in it
// between our check and the engine's open.
namespace velmora::vpn::platform {

// The folder for a program's machine-wide data, named as each system names
// such folders: %ProgramData%\<windowsName> on Windows, /var/lib/<posixName>
// elsewhere.
std::string machineDataFolder(const std::string& windowsName, const std::string& posixName);

// One name in a folder, and how many bytes it holds (0 for anything but a file).
struct FolderEntry {
    std::string name;
    std::uint64_t bytes = 0;
};

// `dataFolder`/users/<the caller's uid or SID>, made where missing and checked
// where present, with every folder on the way from the root of the file
// system (Windows: from the data folder down). Made owned by the system
// (LocalSystem / root) and writable by the system and Administrators only;
// no other user may list or read the user's own folder (Linux: mode 0700, to
// which an existing folder is narrowed; Windows: a protected list with
// read for the user alone). A folder that is a link, is owned by anyone
// else, or that anyone else may write is never used: nullopt with the
// reason. With `contents`, what the user's folder holds is listed into it.
std::optional<std::string> userDataFolder(const std::string& dataFolder, const CallerIdentity& caller,
                                          SystemError& error, std::vector<FolderEntry>* contents = nullptr);

}  // namespace velmora::vpn::platform
