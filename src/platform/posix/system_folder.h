#pragma once

#include <sys/types.h>

#include <string>

#include "platform/system_error.h"
#include "platform/unique_handle.h"

// POSIX only: folders that only the system may change.
namespace velmora::vpn::platform {

// Opens the folder at the absolute `path` one name at a time from "/",
// following no link. Every folder on the way must be owned by root (or by
// the service's own user) and writable by no one else; those above the last
// may instead be sticky (like /tmp), where no one may rename or remove what
// root owns. With `create`, missing folders are made (mode 0755, root's,
// whatever the umask) and then checked as if they had been there; the last
// one gets `lastMode` instead, and one that was there with more bits than
// that is narrowed to it through its open handle. An empty handle with the
// reason when a folder fails.
OwnedHandle openSystemFolder(const std::string& path, bool create, SystemError& error, mode_t lastMode = 0755);

}  // namespace velmora::vpn::platform
