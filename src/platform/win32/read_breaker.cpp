#include "platform/read_breaker.h"

#include <windows.h>

namespace velmora::vpn::platform {

ReadBreaker::ReadBreaker(NativeHandle connection) : connection_(connection) {
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
        readingThread_ = self;
    }
}

ReadBreaker::~ReadBreaker() {
    if (readingThread_ != nullptr) CloseHandle(readingThread_);
}

// The instance is in blocking mode, so the read is synchronous: it is
// cancelled on its thread, and the instance is disconnected so that a read
// that had not begun yet fails as well.
void ReadBreaker::breakOff() const {
    if (readingThread_ != nullptr) CancelSynchronousIo(readingThread_);
    CancelIoEx(connection_, nullptr);
    DisconnectNamedPipe(connection_);
}

}  // namespace velmora::vpn::platform
