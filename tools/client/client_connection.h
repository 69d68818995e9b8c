#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/pipe_io.h"

namespace velmora::client {

// The client's end of one connection to the service's pipe.
class ClientConnection {
public:
    ClientConnection();
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Connects, retrying while the service has no free pipe instance (it
    // listens with one at a time) until the time-out passes. False with a
    // one-line reason.
    bool connect(const std::wstring& pipeName, std::chrono::milliseconds timeout, std::string& error);
    // From now on, reads and writes that have not finished when the time-out
    // passes fail.
    void limitIo(std::chrono::milliseconds timeout);

    velmora::vpn::platform::NativeHandle handle() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velmora::client
