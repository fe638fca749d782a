#include "support/silent_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace vantrel::test {

SilentListener::SilentListener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close();  // the destructor does not run for a constructor that throws
        throw std::runtime_error("cannot open a loopback listener");
    }
    port = ntohs(address.sin_port);
}

SilentListener::~SilentListener() { close(); }

std::string SilentListener::conninfo() const {
    return "host=127.0.0.1 port=" + std::to_string(port) + " user=nobody dbname=none";
}

bool SilentListener::wait_for_clients(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (clients.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd waiting{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&waiting, 1, static_cast<int>(left.count())) != 1) return false;
        const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) clients.push_back(client);
    }
    return true;
}

void SilentListener::close() {
    for (const int client : clients) ::close(client);
    clients.clear();
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace vantrel::test
