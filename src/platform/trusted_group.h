#pragma once

#include <optional>
#include <string>

#include "platform/system_error.h"

// The group an operator names whose members start any configuration, as
// privileged callers do. Only the system's administrators may name it.
namespace velmora::vpn::platform {

// Where an administrator names the group: a text value under a key of
// HKEY_LOCAL_MACHINE on Windows, a file elsewhere.
struct SettingPlace {
    std::string registryKey;    // below HKEY_LOCAL_MACHINE
    std::string registryValue;  // a REG_SZ value of that key
    std::string file;           // an absolute path
};

// The group named at `place`, as callers' groups are named
// (CallerIdentity::groups): "gid N", or a SID's string form. Nullopt with an
// empty error when nothing is named there; with the reason when the place may
// be written by anyone but the system and its administrators (a setting such
// a user could have made), or the name is no group.
std::optional<std::string> readTrustedGroup(const SettingPlace& place, SystemError& error);

}  // namespace velmora::vpn::platform
