#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/pipe_io.h"

// Who is at the other end of a connection to the service's pipe. Every local
// user may connect, so what a caller may do to instances, and how many
// connections it may hold, depends on who it is (docs/security.md).
namespace velmora::vpn::platform {

struct CallerIdentity {
    // The user, as the system names it to the service: "uid N" on Linux, the
    // SID's string form on Windows. Equal texts mean the same user.
    std::string user;
    // Root, LocalSystem, an enabled member of Administrators, or the user the
    // service itself runs as: such a caller acts on every user's instances.
    bool privileged = false;
    // The groups the system counts the caller in, named as the trusted
    // group's setting is read ("gid N"; a SID's string form, enabled groups
    // only). Decides whether an ordinary caller is a trusted one.
    std::vector<std::string> groups;
};

// The caller as the system recorded it when the client connected, before
// anything is read. On Windows it is looked up through the client's process,
// whose id may be reused once that process has gone: it decides only the
// caller's share of connections, never what a request may do.
std::optional<CallerIdentity> connectingCaller(NativeHandle connection, SystemError& error);
// The caller who sent the request just read, on a connection whose
// connecting caller was `connecting`: on Linux that same caller (the kernel
// records a socket's peer once, at connect, and never changes the record),
// on Windows the security context of the last message read. Decides what
// the request may do.
std::optional<CallerIdentity> requestingCaller(NativeHandle connection, const CallerIdentity& connecting,
                                               SystemError& error);

}  // namespace velmora::vpn::platform
