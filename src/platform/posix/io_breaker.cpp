#include "platform/io_breaker.h"

#include <sys/socket.h>

namespace velmora::vpn::platform {

IoBreaker::IoBreaker(NativeHandle connection) : connection_(connection) {}

// Shutting the socket down wakes a blocked read with end-of-file and a
// blocked write with EPIPE (SIGPIPE is ignored), and so every later call; the
// descriptor itself stays open for its owner to close.
void IoBreaker::breakOff() const { shutdown(connection_, SHUT_RDWR); }

}  // namespace velmora::vpn::platform
