#pragma once

#include <string>

#include "platform/system_error.h"
#include "platform/unique_handle.h"

// POSIX only: folders that only the system may change.
namespace velmora::vpn::platform {

// Opens the folder at the absolute `path` one name at a time from "/",
// following no link. Every folder on the way must be owned by root (or by
// the service's own user) and writable by no one else; those above the last
// may instead be sticky (like /tmp), where no one may rename or remove what
// root owns. With `create`, missing folders are made (mode 0755, root's) and
// then checked as if they had been there. An empty handle with the reason
// when a folder fails.
OwnedHandle openSystemFolder(const std::string& path, bool create, SystemError& error);

}  // namespace velmora::vpn::platform
