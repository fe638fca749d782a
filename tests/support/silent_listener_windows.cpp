// The silent listener's sockets on Windows (Winsock).

#include <winsock2.h>

#include <stdexcept>

#include "support/silent_listener.h"

namespace vantrel::test {
namespace {

// Once per process, never cleaned up: the library's own sessions need Winsock for the
// process's whole life anyway.
void start_winsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("WSAStartup failed");
}

SOCKET as_socket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

}  // namespace

SilentListener::SilentListener() {
    start_winsock();
    const SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    listener = static_cast<std::intptr_t>(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    // Not inherited: a scenario that starts a process must not hand it the port.
    if (fd == INVALID_SOCKET || !SetHandleInformation(reinterpret_cast<HANDLE>(fd), HANDLE_FLAG_INHERIT, 0) ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close();  // the destructor does not run for a constructor that throws
        throw std::runtime_error("cannot open a loopback listener: error " + std::to_string(WSAGetLastError()));
    }
    port = ntohs(address.sin_port);
}

std::intptr_t SilentListener::accept_within(std::chrono::milliseconds limit) {
    fd_set waiting;
    FD_ZERO(&waiting);
    FD_SET(as_socket(listener), &waiting);
    const long ms = static_cast<long>(limit.count());
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    if (select(0, &waiting, nullptr, nullptr, &timeout) != 1) return no_socket;
    const SOCKET client = accept(as_socket(listener), nullptr, nullptr);
    if (client == INVALID_SOCKET) return no_socket;
    SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0);
    return static_cast<std::intptr_t>(client);
}

void SilentListener::close() {
    for (const std::intptr_t client : clients) closesocket(as_socket(client));
    clients.clear();
    if (listener != no_socket) closesocket(as_socket(listener));
    listener = no_socket;
}

}  // namespace vantrel::test
