#pragma once

#include "platform/pipe_io.h"

namespace velmora::vpn::platform {

// Lets another thread break off a blocking read on one connection: the read
// fails at once, and so does every later one. Made on the thread that reads;
// the connection must stay open for as long as the breaker exists.
class ReadBreaker {
public:
    explicit ReadBreaker(NativeHandle connection);
    ~ReadBreaker();
    ReadBreaker(const ReadBreaker&) = delete;
    ReadBreaker& operator=(const ReadBreaker&) = delete;

    void breakOff() const;

private:
    NativeHandle connection_;
    [[maybe_unused]] void* readingThread_ = nullptr;  // Windows: a handle on the thread that reads
};

}  // namespace velmora::vpn::platform
