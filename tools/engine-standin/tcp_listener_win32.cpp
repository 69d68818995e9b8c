#include "tcp_listener.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <thread>
#include <utility>

namespace velmora::standin {
namespace {

void startWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

}  // namespace

bool TcpListener::open(const std::string& address, std::uint16_t port) {
    close();
    startWinsock();
    const std::string host = address.size() > 1 && address.front() == '[' && address.back() == ']'
                                 ? address.substr(1, address.size() - 2)
                                 : address;
    sockaddr_storage where{};
    int size = 0;
    auto* four = reinterpret_cast<sockaddr_in*>(&where);
    auto* six = reinterpret_cast<sockaddr_in6*>(&where);
    if (inet_pton(AF_INET, host.c_str(), &four->sin_addr) == 1) {
        four->sin_family = AF_INET;
        four->sin_port = htons(port);
        size = sizeof *four;
    } else if (inet_pton(AF_INET6, host.c_str(), &six->sin6_addr) == 1) {
        six->sin6_family = AF_INET6;
        six->sin6_port = htons(port);
        size = sizeof *six;
    } else {
        return false;
    }
    vpn::platform::OwnedSocket made(static_cast<std::intptr_t>(socket(where.ss_family, SOCK_STREAM, IPPROTO_TCP)));
    if (!made) return false;
    const auto s = static_cast<SOCKET>(made.get());
    // Exclusive use, as a real engine takes its ports: a second bind fails.
    BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
    // Windows keeps an IPv6 socket to IPv6 unless told otherwise.
    DWORD no = 0;
    if (where.ss_family == AF_INET6)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&no), sizeof no);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (bind(s, reinterpret_cast<sockaddr*>(&where), size) != 0 || listen(s, 16) != 0) return false;
    socket_ = std::move(made);
    return true;
}

vpn::platform::OwnedSocket TcpListener::acceptOne() const {
    return vpn::platform::OwnedSocket(
        static_cast<std::intptr_t>(accept(static_cast<SOCKET>(socket_.get()), nullptr, nullptr)));
}

void TcpListener::waitForAny(TcpListener* listeners, std::size_t count, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    bool any = false;
    for (std::size_t i = 0; i < count && i < FD_SETSIZE; ++i) {
        if (!listeners[i].socket_) continue;
        FD_SET(static_cast<SOCKET>(listeners[i].socket_.get()), &readable);
        any = true;
    }
    if (!any) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    select(0, &readable, nullptr, nullptr, &timeout);
}

}  // namespace velmora::standin
