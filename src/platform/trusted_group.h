#pragma once

#include <optional>
#include <string>

#include "platform/system_error.h"

// The group an operator names whose members start any configuration, as
// privileged callers do. Only the system's administrators may name it.
namespace velmora::vpn::platform {

// The file /etc/velmora-vpn/trusted-group, or on Windows the registry key
// HKLM\SYSTEM\CurrentControlSet\Services\VelmoraVpnService\Parameters (its
// value TrustedGroup).
std::string defaultTrustedGroupPlace();

// The group named at `place`, as callers' groups are named
// (CallerIdentity::groups): "gid N", or a SID's string form. Nullopt with an
// empty error when nothing is named there; with the reason when the place may
// be written by anyone but the system and its administrators (a setting such
// a user could have made), or the name is no group.
std::optional<std::string> readTrustedGroup(const std::string& place, SystemError& error);

}  // namespace velmora::vpn::platform
