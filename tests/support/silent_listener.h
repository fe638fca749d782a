#pragma once
// A loopback TCP port that accepts connections but never answers: a session opened to it
// blocks until the listener closes. Holds workers busy without a database.

#include <chrono>
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
    int fd = -1;
    int port = 0;
    std::vector<int> clients;
};

}  // namespace vantrel::test
