#include "platform/io_breaker.h"

#include <windows.h>

namespace velmora::vpn::platform {

IoBreaker::IoBreaker(NativeHandle connection) : connection_(connection) {
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
        ioThread_.reset(self);
    }
}

// The instance is in blocking mode, so its reads, writes and flushes are
// synchronous: the one under way is cancelled on its thread. The handle
// itself is left alone (see the header).
void IoBreaker::breakOff() const {
    if (ioThread_) CancelSynchronousIo(ioThread_.get());
}

}  // namespace velmora::vpn::platform
