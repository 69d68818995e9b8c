#pragma once

#include <string>
#include <vector>

// POSIX only (defined there): the Unix domain socket that stands for the
// service's pipe. Windows uses the pipe name itself.
namespace velmora::vpn::platform {

// Where the service puts the socket for a pipe name. A name that starts with
// "/" is the socket's path as given. "\\.\pipe\NAME" becomes /run/NAME for a
// service running as root, and $XDG_RUNTIME_DIR/NAME for any other user; a
// user without XDG_RUNTIME_DIR gets no path, and neither does any other name
// (an empty text). There is deliberately no /tmp fallback: any local user can
// create a name there first.
std::string socketPathForPipeName(const std::wstring& pipeName);

// Where a client looks for the service, in order: the path as given for "/..."
// names; for "\\.\pipe\NAME" its own $XDG_RUNTIME_DIR/NAME (a service run by
// the same user), then /run/NAME (the service run by root). Empty for any
// other name.
std::vector<std::string> clientSocketPaths(const std::wstring& pipeName);

// The two rules above for a given identity and runtime folder (empty when
// unset): what the functions above apply to this process.
std::string serviceSocketPath(const std::wstring& pipeName, bool root, const std::string& runtimeFolder);
std::vector<std::string> clientSocketPaths(const std::wstring& pipeName, const std::string& runtimeFolder);

}  // namespace velmora::vpn::platform
