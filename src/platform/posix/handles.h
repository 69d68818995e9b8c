#pragma once

#include <cerrno>
#include <unistd.h>

#include "platform/unique_handle.h"

// Owning wrappers for the POSIX resource kinds the service uses. Each close
// keeps errno, so an errno read after a cleanup still describes the call that
// failed.
namespace velmora::vpn::platform {

struct FileDescriptorTraits {
    using Value = int;
    static Value invalid() { return -1; }
    static bool isValid(Value v) { return v >= 0; }
    static void close(Value v) {
        const int saved = errno;
        ::close(v);
        errno = saved;
    }
};
using FileDescriptor = UniqueHandle<FileDescriptorTraits>;

}  // namespace velmora::vpn::platform
