#pragma once

#include <sys/types.h>

// POSIX only: user ids one person owns. /etc/subuid delegates ranges of
// subordinate ids to users (Debian's useradd gives every user 65,536), and
// newuidmap lets that user's namespaces act as them: for every share and for
// instance ownership they are that user.
namespace velmora::vpn::platform {

// The user /etc/subuid delegates `uid` to, or `uid` itself. The file is read
// only while root owns it and no one else may write it (nor the folder that
// holds it), and read again whenever it has changed; a file that fails that
// test delegates nothing.
uid_t delegatingUser(uid_t uid);

}  // namespace velmora::vpn::platform
