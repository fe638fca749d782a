#pragma once
// A loopback TCP port that accepts connections but never answers: a session opened to it
// blocks until the listener closes. Holds workers busy without a database. Used inside
// scenario processes on Linux and Windows alike; the sockets are the platform's own
// (silent_listener_posix.cpp, silent_listener_windows.cpp).

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::test {

class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    std::string conninfo() const;  // host=127.0.0.1 port=<port> ...
    // Accepts clients until count of them have come since the start; false after the time limit.
    // Each accepted client is a session that waits for its server, held until close().
    bool wait_for_clients(std::size_t count, std::chrono::milliseconds limit);
    void close();                  // every session opened to it then fails at once

private:
    // A client accepted within limit, or no_socket.
    std::intptr_t accept_within(std::chrono::milliseconds limit);

    // A POSIX descriptor or a Winsock SOCKET (whose INVALID_SOCKET is all ones, as is -1).
    static constexpr std::intptr_t no_socket = -1;
    std::intptr_t listener = no_socket;
    int port = 0;
    std::vector<std::intptr_t> clients;
};

}  // namespace vantrel::test
