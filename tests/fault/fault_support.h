#pragma once
// Helpers for the fault, load and security tests: the test server's life beyond a restart,
// outcome classification, waiting for result files, and the private namespaces in which a
// forked host breaks its own network or file system without touching the machine's. The
// checks, figures and error texts of every host suite are in support/host_checks.h, the
// process's memory figures in support/host_library.h.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/host_checks.h"
#include "support/host_process.h"

namespace vantrel::test {

// The port of the test server's connection string ("port=N"); throws when there is none.
int test_server_port();

// What a result file holds, as a host would judge it.
enum class Outcome { missing, expected, error_text, other };
Outcome classify(const std::string& path, const std::string& expected);

// Everything this process has written to standard output so far, when that is a file (as in a
// forked host of run_host / run_linked).
std::string own_output();

// The exit code a forked host returns when the machine does not allow a fault to be staged;
// it prints "SKIP: <reason>" first.
constexpr int skip_exit_code = 77;

// Host threads that submit tasks at a steady pace: once the file flowing_file exists (tasks
// are flowing), event() runs on the calling thread; each host thread then goes on for
// after_event more tasks (bound tasks at most, whatever happens). submit(thread, i) submits
// task i of a thread. Without flowing_file by flowing_limit, event() does not run.
struct PacedHosts {
    int threads = 1;
    int after_event = 0;
    int bound = 20000;
    std::chrono::microseconds pace{0};

    struct Run {
        bool flowing = false;           // flowing_file appeared and event() ran
        std::vector<int> first_after;   // per thread: its first task submitted after the event
        std::vector<int> submitted;     // per thread: tasks submitted
    };

    template <typename Submit, typename Event>
    Run run(Submit submit, const std::string& flowing_file, std::chrono::seconds flowing_limit,
            Event event) const {
        Run result;
        result.first_after.assign(threads, -1);
        result.submitted.assign(threads, 0);
        std::atomic<bool> event_over{false};
        std::vector<std::thread> hosts;
        for (int t = 0; t < threads; ++t) {
            hosts.emplace_back([&, t] {
                int& first_after = result.first_after[t];
                int i = 0;
                for (; i < bound && (first_after < 0 || i < first_after + after_event); ++i) {
                    if (event_over && first_after < 0) first_after = i;
                    submit(t, i);
                    std::this_thread::sleep_for(pace);
                }
                result.submitted[t] = i;
            });
        }
        result.flowing = wait_for_file(flowing_file, std::chrono::steady_clock::now() + flowing_limit);
        if (result.flowing) event();
        event_over = true;
        for (std::thread& host : hosts) host.join();
        return result;
    }
};

// --- Private namespaces (Linux; need CAP_SYS_ADMIN / CAP_NET_ADMIN, as root in CI has).

// Moves the calling thread into a new mount namespace whose mounts no longer propagate to
// the machine's. Threads it starts afterwards inherit it. False with why set when refused.
bool enter_private_mount_namespace(std::string& why);

// Mounts a tmpfs of size_kib at dir (in the private mount namespace).
bool mount_tmpfs(const std::string& dir, int size_kib, std::string& why);

// Remounts the tmpfs at dir read-only or read-write, retrying while writers hold it open.
bool remount_tmpfs(const std::string& dir, int size_kib, bool read_only, std::string& why);

// Moves the calling thread into a new network namespace that only has a loopback interface.
bool enter_private_network_namespace(std::string& why);

// Takes the loopback interface of the calling thread's network namespace up or down. Down, the
// namespace's established TCP connections go silent: nothing sent on them arrives.
bool set_loopback(bool up, std::string& why);

// Bytes sent on established TCP connections to or from port, in the calling thread's network
// namespace, that the peer has not acknowledged yet.
long unacknowledged_bytes(int port);

// Forwards TCP connections from a port in one network namespace to a port on 127.0.0.1 in
// another. Construct it in the namespace the server is in; then call listen_here() from a
// thread in the new namespace. Its thread stays in the namespace it started in.
class NamespaceRelay {
public:
    explicit NamespaceRelay(int upstream_port);
    ~NamespaceRelay();
    NamespaceRelay(const NamespaceRelay&) = delete;
    NamespaceRelay& operator=(const NamespaceRelay&) = delete;

    // Listens on 127.0.0.1 in the calling thread's network namespace; returns the port.
    int listen_here();
    // Closes every relayed connection on both sides; false when the relay's thread has not
    // done so within limit.
    [[nodiscard]] bool drop_all(std::chrono::milliseconds limit = std::chrono::seconds(10));
    int connections_accepted() const { return accepted.load(); }

private:
    void run();

    int upstream_port;
    std::atomic<int> listener{-1};  // set by listen_here() from another thread
    int wake[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::atomic<bool> dropping{false};
    std::atomic<int> accepted{0};
    std::thread thread;
};

}  // namespace vantrel::test
