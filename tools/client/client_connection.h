#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/pipe_io.h"

namespace velmora::client {

// Whom the client accepts as the server before it sends a byte. Anyone who may
// connect to the service may also create a pipe of its name, or a socket at
// its path, first; so the client checks who serves the connection it got:
// the system (LocalSystem on Windows, root elsewhere), or its own user (a
// console run for debugging). Tests narrow it to see a refusal.
struct ServerTrust {
    bool system = true;
    bool ownUser = true;
};

// The client's end of one connection to the service's pipe.
class ClientConnection {
public:
    ClientConnection();
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Connects, retrying while the service has no free pipe instance (it
    // listens with one at a time) until the time-out passes, then checks who
    // serves the connection. False with a one-line reason; a server of
    // another identity is refused at once, before anything is sent.
    bool connect(const std::wstring& pipeName, std::chrono::milliseconds timeout, std::string& error,
                 ServerTrust trust = {});
    // From now on, reads and writes that have not finished when the time-out
    // passes fail.
    void limitIo(std::chrono::milliseconds timeout);

    velmora::vpn::platform::NativeHandle handle() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velmora::client
