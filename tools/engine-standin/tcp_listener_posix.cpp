#include "tcp_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace velmora::standin {

bool TcpListener::open(const std::string& address, std::uint16_t port) {
    close();
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return false;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(fd, 16) != 0) {
        ::close(fd);
        return false;
    }
    socket_ = fd;
    return true;
}

void TcpListener::acceptPending() {
    if (socket_ == kNone) return;
    for (;;) {
        const int client = accept4(static_cast<int>(socket_), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;
        ::close(client);
    }
}

void TcpListener::close() {
    if (socket_ == kNone) return;
    ::close(static_cast<int>(socket_));
    socket_ = kNone;
}

void TcpListener::waitForAny(TcpListener* listeners, std::size_t count, int milliseconds) {
    std::vector<pollfd> fds;
    for (std::size_t i = 0; i < count; ++i) {
        if (listeners[i].socket_ != kNone) fds.push_back({static_cast<int>(listeners[i].socket_), POLLIN, 0});
    }
    if (fds.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    poll(fds.data(), fds.size(), milliseconds);
}

}  // namespace velmora::standin
