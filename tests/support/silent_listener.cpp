#include "support/silent_listener.h"

namespace vantrel::test {

SilentListener::~SilentListener() { close(); }

std::string SilentListener::conninfo() const {
    return "host=127.0.0.1 port=" + std::to_string(port) + " user=nobody dbname=none";
}

bool SilentListener::wait_for_clients(std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (clients.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const std::intptr_t client = accept_within(left);
        if (client != no_socket) clients.push_back(client);
    }
    return true;
}

}  // namespace vantrel::test
