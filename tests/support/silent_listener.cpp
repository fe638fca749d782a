#include "support/silent_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace vantrel::test {

SilentListener::SilentListener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
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

bool SilentListener::wait_for_client(std::chrono::milliseconds limit) const {
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, static_cast<int>(limit.count())) == 1;
}

void SilentListener::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace vantrel::test
