#include "tcp_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <utility>
#include <vector>

namespace velmora::standin {

bool TcpListener::open(const std::string& address, std::uint16_t port) {
    close();
    const std::string host = address.size() > 1 && address.front() == '[' && address.back() == ']'
                                 ? address.substr(1, address.size() - 2)
                                 : address;
    sockaddr_storage where{};
    socklen_t size = 0;
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
    vpn::platform::OwnedSocket made(socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!made) return false;
    const int fd = static_cast<int>(made.get());
    const int yes = 1;
    const int no = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (where.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), size) != 0 || listen(fd, 16) != 0) return false;
    socket_ = std::move(made);
    return true;
}

vpn::platform::OwnedSocket TcpListener::acceptOne() const {
    return vpn::platform::OwnedSocket(accept4(static_cast<int>(socket_.get()), nullptr, nullptr, SOCK_CLOEXEC));
}

void TcpListener::waitForAny(TcpListener* listeners, std::size_t count, int milliseconds) {
    std::vector<pollfd> fds;
    for (std::size_t i = 0; i < count; ++i) {
        if (listeners[i].socket_) fds.push_back({static_cast<int>(listeners[i].socket_.get()), POLLIN, 0});
    }
    if (fds.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    poll(fds.data(), fds.size(), milliseconds);
}

}  // namespace velmora::standin
