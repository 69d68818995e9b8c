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
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return false;
    vpn::platform::OwnedSocket made(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!made) return false;
    const int fd = static_cast<int>(made.get());
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, 16) != 0) return false;
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
