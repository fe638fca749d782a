// The host's whole life around the library: how it stops (from main, an exit handler, a global's
// destructor, not at all), forks, unloads, loses a pipe's reader or its standard output. Each
// case runs in fresh host processes that load the built library, against the test server.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fault/fault_support.h"
#include "support/files.h"
#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/server_test.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The exit's grace for workers whose statements it cancelled (library_lifetime.cpp).
constexpr double exit_grace_seconds = 2.0;
// What a slow or sanitized machine may add to it.
constexpr double exit_slack_seconds = sanitized_build() ? 3.0 : 1.5;

double monotonic_seconds() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

// Relays its first connection to the test server and accepts every later one without ever
// answering: a session opened through it works, and its cancel request (a new connection to
// the same address) never lands.
class StallingRelay {
public:
    explicit StallingRelay(int server_port) : server_port(server_port) {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("relay: cannot listen");
        }
        port = ntohs(address.sin_port);
        // Lives as long as the host process, with copies of what it needs.
        std::thread([listener = listener, server_port] { run(listener, server_port); }).detach();
    }
    std::string conninfo(const std::string& base) const {
        return base + " host=127.0.0.1 port=" + std::to_string(port);
    }

private:
    static int connect_to(int port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
    }
    static bool forward(int from, int to) {
        char buffer[16384];
        const ssize_t got = read(from, buffer, sizeof buffer);
        return got > 0 && write(to, buffer, static_cast<std::size_t>(got)) == got;
    }
    static void run(int listener, int server_port) {
        const int client = accept(listener, nullptr, nullptr);
        const int server = connect_to(server_port);
        if (client < 0 || server < 0) return;
        std::vector<int> held;  // later connections: accepted, never read
        for (;;) {
            pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {listener, POLLIN, 0}};
            if (poll(fds, 3, -1) < 0) return;
            if ((fds[0].revents != 0 && !forward(client, server)) ||
                (fds[1].revents != 0 && !forward(server, client))) {
                return;
            }
            if (fds[2].revents != 0) held.push_back(accept(listener, nullptr, nullptr));
        }
    }

    int server_port;
    int listener = -1;
    int port = 0;
};

// What a host case has: its own folder and the test server.
struct Host {
    std::string dir;
    std::string conninfo;

    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::u16string upath(const std::string& name) const { return utf16(path(name)); }
    std::string tagged(const std::string& application) const {
        return conninfo + " application_name=" + application;
    }
    // Waits until count statements of the application run on the server.
    bool running(const std::string& application, int count = 1) const {
        const std::string sql = "select count(*) from pg_stat_activity where state = 'active' and application_name = '" +
                                application + "'";
        return wait_until([&] { return query_one(conninfo, sql) == std::to_string(count); }, 30s);
    }
    void end_statements(const std::string& application) const {
        query_one(conninfo, "select count(pg_terminate_backend(pid)) from pg_stat_activity where application_name = '" +
                                application + "'");
    }
};

constexpr int queued_tasks = 40;

// Queues tasks that each take a little while, so that most still wait when main returns.
void queue_numbered(const Exports& lib, const Host& host) {
    const std::u16string c = utf16(host.conninfo);
    for (int i = 0; i < queued_tasks; ++i) {
        const std::u16string sql = utf16("select pg_sleep(0.01), " + std::to_string(i));
        lib.query(c.c_str(), u";", sql.c_str(), 30, host.upath("n" + std::to_string(i)).c_str());
    }
}

void expect_every_numbered_file(const Host& host) {
    for (int i = 0; i < queued_tasks; ++i) {
        EXPECT_EQ(read_file(host.path("n" + std::to_string(i))), ";" + std::to_string(i)) << i;
    }
}

// The exports of the host's one loaded library, for handlers that take no argument.
const Exports* host_library = nullptr;

// README's bracket: the use begins in the constructor and the stop drains in the destructor.
struct LibraryUse {
    LibraryUse() { host_library->init(); }
    ~LibraryUse() { host_library->deinit(true); }
};

// The host's own handle on the library, counted once more; both go with two dlclose calls.
bool unload_library() {
    void* self = dlopen(VANTREL_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (self == nullptr) return false;
    dlclose(self);
    dlclose(self);
    return dlopen(VANTREL_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) == nullptr;
}

Exports load_library_again() {
    void* library = dlopen(VANTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    Exports lib{};
    if (library == nullptr) return lib;
    lib.init = reinterpret_cast<void (*)()>(dlsym(library, "cVantrelInit"));
    lib.deinit = reinterpret_cast<void (*)(bool)>(dlsym(library, "cVantrelDeinit"));
    lib.query = reinterpret_cast<decltype(lib.query)>(dlsym(library, "cVantrel"));
    lib.exec = reinterpret_cast<decltype(lib.exec)>(dlsym(library, "cVantrelExec"));
    return lib;
}

// Seconds from the host's "returned_at" figure to now, its exit seen by the test.
double seconds_to_exit(const HostRun& run) { return monotonic_seconds() - figure(run.output, "returned_at"); }

void return_now() {
    print_figure("returned_at", monotonic_seconds());
    std::fflush(stdout);
}

int fork_children_during_statement(const Exports& lib, const Host& host) {
    const std::u16string c = utf16(host.tagged("host_life_fork"));
    lib.init();
    lib.query(c.c_str(), u";", u"select pg_sleep(2), 'done'", 0, host.upath("parent").c_str());
    if (!host.running("host_life_fork")) return 4;
    double slowest = 0;
    int failed = 0;
    for (int child = 0; child < 10; ++child) {
        std::fflush(nullptr);
        const auto start = Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            const std::u16string mine = host.upath("child" + std::to_string(child));
            const bool queued = lib.query(c.c_str(), u";", u"select 1", 0, mine.c_str());
            lib.deinit(true);
            std::exit(queued ? 3 : 0);  // through the exit handlers, as a host's main returns
        }
        int status = 0;
        waitpid(pid, &status, 0);
        slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - start).count());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    print_figure("slowest_child", slowest);
    print_figure("failed_children", failed);
    const bool ended = wait_for_file(host.path("parent"), Clock::now() + 30s);
    lib.deinit(true);
    return ended ? 0 : 5;
}

int write_to_fifo_whose_reader_leaves(const Exports& lib, const Host& host) {
    const std::string fifo = host.path("fifo");
    if (mkfifo(fifo.c_str(), 0600) != 0) return 6;
    std::thread reader([&] {
        char head[10];
        std::ifstream in(fifo, std::ios::binary);
        in.read(head, sizeof head);
    });  // leaves after 10 bytes
    const std::u16string c = utf16(host.conninfo);
    lib.query(c.c_str(), u";", u"select repeat('x', 1000000)", 30, utf16(fifo).c_str());
    reader.join();
    const int next = static_cast<int>(2 * library_workers());
    for (int i = 0; i < next; ++i) {
        lib.query(c.c_str(), u";", utf16("select " + std::to_string(i)).c_str(), 30,
                  host.upath("next" + std::to_string(i)).c_str());
    }
    lib.deinit(true);
    return 0;
}

// Loaded afresh with descriptor 1 closed, as a daemon that closed its standard streams would
// load it. Every worker opens a session, then the host's own log line and a second round of
// tasks show whether anything printed went into one of them.
int run_without_standard_output(const Exports&, const Host& host) {
    if (!unload_library()) return 6;
    close(STDOUT_FILENO);
    const Exports lib = load_library_again();
    if (lib.query == nullptr) return 7;
    const std::u16string c = utf16(host.conninfo);
    const int workers = static_cast<int>(library_workers());
    for (const char* round : {"first", "second"}) {
        for (int i = 0; i < workers; ++i) {
            lib.query(c.c_str(), u";", utf16("select pg_sleep(0.5), " + std::to_string(i)).c_str(), 30,
                      host.upath(round + std::to_string(i)).c_str());
        }
        for (int i = 0; i < workers; ++i) {
            if (!wait_for_file(host.path(round + std::to_string(i)), Clock::now() + 30s)) return 5;
        }
        lib.init();  // "Library inirialized", once the sessions are open
    }
    lib.deinit(true);
    return 0;
}

// A statement whose cancel never lands (through the relay) and one whose cancel does, and a
// host thread stopping without drain that waits for the first; then main returns.
int exit_with_one_cancel_stuck(const Exports& lib, const Host& host) {
    StallingRelay relay(test_server_port());
    const std::u16string stuck = utf16(relay.conninfo(host.tagged("host_life_stuck")));
    const std::u16string direct = utf16(host.tagged("host_life_direct"));
    lib.exec(stuck.c_str(), u"select pg_sleep(600)", 0, host.upath("stuck").c_str());
    if (!host.running("host_life_stuck")) return 4;
    lib.exec(direct.c_str(), u"select pg_sleep(600)", 0, host.upath("direct").c_str());
    if (!host.running("host_life_direct")) return 4;
    std::thread([deinit = lib.deinit] { deinit(false); }).detach();
    std::this_thread::sleep_for(300ms);  // the stop is joining the stuck worker by now
    return_now();
    return 0;
}

// The address space is full when main returns: the exit can make no thread.
int exit_with_memory_short(const Exports& lib, const Host& host) {
    const std::u16string c = utf16(host.tagged("host_life_memory"));
    lib.exec(c.c_str(), u"select pg_sleep(600)", 0, host.upath("memory").c_str());
    if (!host.running("host_life_memory")) return 4;
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit full{now + (1 << 20), RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &full) != 0) return 6;
    return_now();
    return 0;
}

int unload_with_statement_running(const Exports& lib, const Host& host) {
    const std::u16string c = utf16(host.tagged("host_life_unload"));
    lib.exec(c.c_str(), u"select pg_sleep(600)", 0, host.upath("unloaded").c_str());
    if (!host.running("host_life_unload")) return 4;
    if (!unload_library()) return 6;  // returns once the workers have ended
    if (!file_exists(host.path("unloaded"))) return 7;
    const Exports again = load_library_again();
    if (again.exec == nullptr) return 8;
    const bool queued = again.exec(utf16(host.conninfo).c_str(), u"select 1", 0, host.upath("reloaded").c_str());
    again.deinit(true);
    return queued ? 0 : 9;
}

const std::string cancelled = "ERROR:  canceling statement due to user request";

struct HostLifeCase {
    const char* name;
    int runs;  // fresh hosts, for what a race could make pass by chance
    std::function<int(const Exports&, const Host&)> host;
    std::function<void(const HostRun&, const Host&)> check;
};

const HostLifeCase host_life_cases[] = {
    {"stop in a global's destructor", 10,
     [](const Exports& lib, const Host& host) {
         static const Exports kept = lib;
         host_library = &kept;
         static LibraryUse use;  // its destructor registered now, as a global's is at its construction
         queue_numbered(lib, host);
         return 0;
     },
     [](const HostRun&, const Host& host) { expect_every_numbered_file(host); }},
    {"stop in an exit handler registered before the first task", 10,
     [](const Exports& lib, const Host& host) {
         static const Exports kept = lib;
         host_library = &kept;
         std::atexit([] { host_library->deinit(true); });
         queue_numbered(lib, host);
         return 0;
     },
     [](const HostRun&, const Host& host) { expect_every_numbered_file(host); }},
    {"ten forks while a statement runs", 1, fork_children_during_statement,
     [](const HostRun& run, const Host& host) {
         EXPECT_EQ(read_file(host.path("parent")), ";done");
         EXPECT_EQ(figure(run.output, "failed_children"), 0);
         // At once: far below the 2 s the parent's statement runs (a sanitizer slows every exit).
         EXPECT_LT(figure(run.output, "slowest_child"), sanitized_build() ? 1.9 : 1.0);
         EXPECT_EQ(count_lines_with(run.output, "[error] cVantrel(): Task rejected: the library belongs to the "
                                                "parent process"),
                   10);
         for (int child = 0; child < 10; ++child) EXPECT_FALSE(file_exists(host.path("child" + std::to_string(child))));
     }},
    {"FIFO whose reader leaves", 1, write_to_fifo_whose_reader_leaves,
     [](const HostRun& run, const Host& host) {
         EXPECT_EQ(count_lines_with(run.output, "[error] worker_function(): Can`t write results to file \"" +
                                                    host.path("fifo") + "\""),
                   1);
         for (unsigned i = 0; i < 2 * library_workers(); ++i) {
             EXPECT_EQ(read_file(host.path("next" + std::to_string(i))), std::to_string(i));
         }
     }},
    {"no standard output when the library loads", 1, run_without_standard_output,
     [](const HostRun&, const Host& host) {
         for (const char* round : {"first", "second"}) {
             for (unsigned i = 0; i < library_workers(); ++i) {
                 EXPECT_EQ(read_file(host.path(round + std::to_string(i))), ";" + std::to_string(i)) << round << i;
             }
         }
     }},
    {"exit without a stop, one cancel never answered, a stop joining", 1, exit_with_one_cancel_stuck,
     [](const HostRun& run, const Host& host) {
         host.end_statements("host_life_stuck");
         const double took = seconds_to_exit(run);
         EXPECT_GE(took, exit_grace_seconds - 0.1) << "the exit did not wait for the stuck worker";
         EXPECT_LT(took, exit_grace_seconds + exit_slack_seconds);
         EXPECT_EQ(read_file(host.path("direct")).rfind(cancelled, 0), 0u) << read_file(host.path("direct"));
         EXPECT_FALSE(file_exists(host.path("stuck")));
         EXPECT_TRUE(temporary_files(host.dir).empty());
         std::printf("exit with one cancel unanswered: %.2f s from main's return\n", took);
     }},
    {"exit without a stop, address space full", sanitized_build() ? 0 : 1, exit_with_memory_short,
     [](const HostRun& run, const Host& host) {
         host.end_statements("host_life_memory");  // should the cancel have failed
         const double took = seconds_to_exit(run);
         EXPECT_LT(took, exit_grace_seconds + exit_slack_seconds);
         EXPECT_EQ(read_file(host.path("memory")).rfind(cancelled, 0), 0u) << read_file(host.path("memory"));
     }},
    {"dlclose without a stop", 1, unload_with_statement_running,
     [](const HostRun&, const Host& host) {
         host.end_statements("host_life_unload");  // should the cancel have failed
         EXPECT_EQ(read_file(host.path("unloaded")).rfind(cancelled, 0), 0u) << read_file(host.path("unloaded"));
         EXPECT_EQ(read_file(host.path("reloaded")), "TRUE");
     }},
};

int failures_so_far() {
    const testing::TestResult* result = testing::UnitTest::GetInstance()->current_test_info()->result();
    int failed = 0;
    for (int i = 0; i < result->total_part_count(); ++i) failed += result->GetTestPartResult(i).failed();
    return failed;
}

void run_every_case(const std::string& session) {
    for (const HostLifeCase& k : host_life_cases) {
        // A case stops at its first failing run; the next case still runs.
        const int failed_before = failures_so_far();
        for (int attempt = 0; attempt < k.runs && failures_so_far() == failed_before; ++attempt) {
            SCOPED_TRACE(std::string(k.name) + ", run " + std::to_string(attempt + 1));
            const Host host{make_temp_dir(), session};
            const HostRun run = run_host([&](const Exports& lib) { return k.host(lib, host); }, 60);
            [&] {
                ASSERT_FALSE(run.timed_out) << run.output;
                ASSERT_EQ(run.exit_code, 0) << run.output.substr(0, 4000);
                k.check(run, host);
            }();
        }
    }
}

// Whether the server takes SSL sessions (scripts/pg-cluster.sh sets up none; a server with
// tests/windows/enable-ssl.sh applied does).
bool offers_ssl(const std::string& conninfo) {
    try {
        return query_one(conninfo, "select ssl from pg_stat_ssl where pid = pg_backend_pid()") == "t";
    } catch (const std::exception&) {
        return false;
    }
}

class HostLife : public ServerTest {};

// With SSL sessions too, where the server takes them.
TEST_F(HostLife, EveryWayAHostLivesEndsAsItShould) {
    std::vector<std::string> sessions{conninfo};
    const std::string ssl = conninfo + " sslmode=require";
    if (offers_ssl(ssl)) {
        sessions.push_back(ssl);
    } else {
        std::printf("the test server takes no SSL sessions: the cases ran without them\n");
    }
    for (const std::string& session : sessions) {
        SCOPED_TRACE(session);
        run_every_case(session);
    }
}

}  // namespace
}  // namespace vantrel::test
