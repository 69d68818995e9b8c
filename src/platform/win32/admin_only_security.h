#pragma once

#include <windows.h>

#include <string>

#include "platform/system_error.h"

// Windows only: what only the system's administrators may change.
namespace velmora::vpn::platform {

// Whether the object `descriptor` guards is owned by LocalSystem,
// Administrators, TrustedInstaller or the service's own user, and no entry of
// its access list lets anyone else use one of `writeRights` (inherit-only
// entries apply to children only and do not count). False with the reason,
// naming the object as `shown`; a missing access list lets everyone in.
bool onlyAdministratorsWrite(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK writeRights, const std::string& shown,
                             SystemError& error);

}  // namespace velmora::vpn::platform
