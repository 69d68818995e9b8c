#pragma once

#include "platform/pipe_io.h"

namespace velmora::vpn::platform {

// Lets another thread break off the blocking reads, writes and flushes of one
// connection. Made on the thread that does the I/O; the connection must stay
// open for as long as the breaker exists. On POSIX the connection is shut
// down, so the call under way and every later one fail. On Windows only the
// synchronous call under way on that thread is cancelled (a call that has not
// begun yet is not), and nothing else is done to the handle: a synchronous
// handle serialises its calls, so a disconnect from here could wait behind the
// very read it means to end. Whoever breaks off therefore calls again until
// the thread has stopped doing I/O, and the thread disconnects and closes the
// connection itself.
class IoBreaker {
public:
    explicit IoBreaker(NativeHandle connection);

    void breakOff() const;

private:
    NativeHandle connection_;
    OwnedHandle ioThread_;  // Windows: a handle on the thread that does the I/O
};

}  // namespace velmora::vpn::platform
