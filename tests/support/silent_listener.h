#pragma once
// A loopback TCP port that completes connections but never answers: a session opened to it
// blocks until the listener closes. Holds workers busy without a database.

#include <chrono>
#include <string>

namespace vantrel::test {

class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    std::string conninfo() const;  // host=127.0.0.1 port=<port> ...
    // True once a client's connection waits to be accepted; false after the time limit.
    bool wait_for_client(std::chrono::milliseconds limit) const;
    void close();                  // pending sessions then fail at once

private:
    int fd = -1;
    int port = 0;
};

}  // namespace vantrel::test
