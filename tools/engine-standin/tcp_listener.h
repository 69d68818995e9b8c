#pragma once

#include <cstdint>
#include <string>

namespace velmora::standin {

// One listening TCP socket that accepts connections and closes each at once,
// so that anyone can see from outside that an instance is up.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener() { close(); }
    TcpListener(TcpListener&& other) noexcept : socket_(other.socket_) { other.socket_ = kNone; }
    TcpListener& operator=(TcpListener&&) = delete;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds and listens on an IPv4 address; false when that is not possible.
    bool open(const std::string& address, std::uint16_t port);
    // Accepts and closes every connection that is waiting now.
    void acceptPending();
    void close();

    // Waits up to `milliseconds` for a connection on any of the listeners.
    static void waitForAny(TcpListener* listeners, std::size_t count, int milliseconds);

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t socket_ = kNone;
};

}  // namespace velmora::standin
