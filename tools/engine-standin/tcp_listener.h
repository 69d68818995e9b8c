#pragma once

#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace velmora::standin {

// One listening TCP socket that accepts connections and closes each at once,
// so that anyone can see from outside that an instance is up.
class TcpListener {
public:
    // Binds and listens on an IPv4 or IPv6 address (brackets allowed); "::"
    // takes IPv4 connections too, as the engine's listeners do. False when
    // that is not possible.
    bool open(const std::string& address, std::uint16_t port);
    // Accepts and closes every connection that is waiting now.
    void acceptPending() {
        if (!socket_) return;
        while (acceptOne()) {
            // each one closes as it goes
        }
    }
    void close() { socket_.reset(); }

    // Waits up to `milliseconds` for a connection on any of the listeners.
    static void waitForAny(TcpListener* listeners, std::size_t count, int milliseconds);

private:
    // One waiting connection, or none (the listener does not block).
    vpn::platform::OwnedSocket acceptOne() const;

    vpn::platform::OwnedSocket socket_;
};

}  // namespace velmora::standin
