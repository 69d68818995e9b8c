#pragma once

#include <optional>
#include <string>

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

// `dataFolder`/users/<the caller's uid or SID>, made where missing and checked
// where present, with every folder on the way from the root of the file
// system (Windows: from the data folder down). Made owned by the system
// (LocalSystem / root), writable by the system and Administrators only and
// readable by the user. A folder that is a link, is owned by anyone else, or
// that anyone else may write is never used: nullopt with the reason.
std::optional<std::string> userDataFolder(const std::string& dataFolder, const CallerIdentity& caller,
                                          SystemError& error);

}  // namespace velmora::vpn::platform
