// The silent listener's sockets on Linux.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "support/silent_listener.h"

namespace vantrel::test {

SilentListener::SilentListener() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    listener = fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close();  // the destructor does not run for a constructor that throws
        throw std::runtime_error("cannot open a loopback listener");
    }
    port = ntohs(address.sin_port);
}

std::intptr_t SilentListener::accept_within(std::chrono::milliseconds limit) {
    pollfd waiting{static_cast<int>(listener), POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(limit.count())) != 1) return no_socket;
    const int client = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return client < 0 ? no_socket : client;
}

void SilentListener::close() {
    for (const std::intptr_t client : clients) ::close(static_cast<int>(client));
    clients.clear();
    if (listener != no_socket) ::close(static_cast<int>(listener));
    listener = no_socket;
}

}  // namespace vantrel::test
