#include "platform/read_breaker.h"

#include <sys/socket.h>

namespace velmora::vpn::platform {

ReadBreaker::ReadBreaker(NativeHandle connection) : connection_(connection) {}

ReadBreaker::~ReadBreaker() = default;

// Shutting the socket down wakes a blocked read with end-of-file; the
// descriptor itself stays open for its owner to close.
void ReadBreaker::breakOff() const { shutdown(connection_, SHUT_RDWR); }

}  // namespace velmora::vpn::platform
