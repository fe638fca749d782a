// Hosts against a server too small for all their sessions: each worker holds one session per
// connection string, so a host needs workers × strings of them. A task whose worker cannot get
// its session gets the server's refusal as its outcome, the others run, nothing waits, and the
// same worker gets its session with a later task once another host has gone.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "deploy/deploy_support.h"
#include "fault/fault_support.h"

namespace vantrel::test {
namespace {

using namespace std::chrono_literals;

constexpr int strings_per_host = 3;
constexpr int reserved_for_superusers = 3;  // the server's default superuser_reserved_connections
constexpr int lock_key = 4216;

struct Limits {
    int workers = static_cast<int>(library_workers());
    // Room for exactly one host's sessions for an ordinary role, plus the test's own session.
    int max_connections = strings_per_host * workers + reserved_for_superusers + 1;
    int role_slots = strings_per_host * workers;
};

bool process_exists(const std::string& pid) {
    return !pid.empty() && (kill(std::stoi(pid), 0) == 0 || errno != ESRCH);
}

std::string app_conninfo(const Cluster& cluster, const std::string& name) {
    return cluster.conninfo("vantrel_app") + " application_name=vantrel-" + name;
}

std::string task_id(int phase, int round, int string, int worker) {
    return std::to_string(phase) + "-" + std::to_string(round) + "-" + std::to_string(string) +
           "-" + std::to_string(worker);
}

// A round is one task per worker for each of the host's strings; every task returns its id and
// the server process that ran it.
struct Rounds {
    int phase;
    int count;
    int workers;
    std::string folder;
    std::vector<std::u16string> strings;
    std::vector<int> gates = {};  // per string: the advisory lock its tasks wait for, or 0

    void submit(const Exports& lib) const {
        for (int round = 0; round < count; ++round) {
            for (int s = 0; s < strings_per_host; ++s) {
                for (int w = 0; w < workers; ++w) {
                    const std::string id = task_id(phase, round, s, w);
                    const int gate = s < static_cast<int>(gates.size()) ? gates[s] : 0;
                    const std::u16string sql = utf16("select '" + id + "', pg_backend_pid()" +
                                                     (gate ? " from pg_advisory_xact_lock_shared(" + std::to_string(gate) + ")" : ""));
                    lib.query(strings[s].c_str(), u";", sql.c_str(), 30, utf16(folder + "/" + id).c_str());
                }
            }
        }
    }
    bool all_done(std::chrono::seconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool done = true;
        for (const std::string& id : ids()) done = wait_for_file(folder + "/" + id, deadline) && done;
        return done;
    }
    std::vector<std::string> ids() const {
        std::vector<std::string> all;
        for (int round = 0; round < count; ++round) {
            for (int s = 0; s < strings_per_host; ++s) {
                for (int w = 0; w < workers; ++w) all.push_back(task_id(phase, round, s, w));
            }
        }
        return all;
    }
};

struct RoundsVerdict {
    int rows = 0;
    int refused = 0;
    int no_slot_at_all = 0;  // of the refused: the server had no free slot even for a moment
    std::set<std::string> sessions;  // server processes that ran the rows
    std::vector<std::string> problems;
};

// The server's two refusals at the limit: an ordinary role is turned away while no more than the
// superusers' reserved slots are free, and anyone when, with other logins under way at the same
// moment, no slot is free at all.
struct Refusals {
    std::string reserved;
    std::string full;
    explicit Refusals(int port) {
        const std::string prefix = "connection to server at \"127.0.0.1\", port " + std::to_string(port) + " failed: FATAL:  ";
        reserved = prefix + "remaining connection slots are reserved for non-replication superuser connections\r\n";
        full = prefix + "sorry, too many clients already\r\n";
    }
};

RoundsVerdict judge(const Rounds& rounds, const Refusals& refusals) {
    RoundsVerdict verdict;
    for (const std::string& id : rounds.ids()) {
        const std::string path = rounds.folder + "/" + id;
        const std::string text = file_exists(path) ? read_file(path) : "(missing)";
        if (text.rfind(id + ";", 0) == 0) {
            ++verdict.rows;
            verdict.sessions.insert(after_separator(text));
        } else if (text == refusals.reserved || text == refusals.full) {
            ++verdict.refused;
            if (text == refusals.full) ++verdict.no_slot_at_all;
        } else {
            verdict.problems.push_back(id + ": '" + text + "'");
        }
    }
    return verdict;
}

TEST(SessionLimit, TasksBeyondTheLimitGetTheRefusalAndLaterTasksRunOnceSessionsFreeUp) {
    const Limits limits;
    const std::string dir = deploy_dir("session_limit");
    const std::string results = make_temp_dir();
    Cluster cluster = Cluster::primary(dir + "/server", {"max_connections=" + std::to_string(limits.max_connections)});
    AdminSession admin(cluster.conninfo());
    admin.run("create role vantrel_app login");
    const auto count_sessions = [&](const std::string& application_filter) {
        return admin.number("select count(*) from pg_stat_activity where usename = 'vantrel_app'" +
                            application_filter);
    };

    HostGroup hosts(results, {"go-b", "stop-b", "go-a", "a-first-done", "go-a2"});
    // Host B holds one session per worker, all opened at once: its tasks wait on a lock the
    // test holds, so every worker takes one.
    const std::u16string b_string = utf16(app_conninfo(cluster, "b"));
    const int workers = limits.workers;
    hosts.start("b", [&](const Exports& lib) {
        lib.init();
        if (!hosts.wait("go-b", 60s)) return 2;
        const std::u16string sql = utf16("select pg_advisory_xact_lock_shared(" + std::to_string(lock_key) +
                                         "), pg_backend_pid()");
        for (int w = 0; w < workers; ++w) {
            lib.query(b_string.c_str(), u";", sql.c_str(), 30, utf16(results + "/b" + std::to_string(w)).c_str());
        }
        const bool stopped = hosts.wait("stop-b", 90s);
        lib.deinit(true);
        return stopped ? 0 : 5;
    }, 150);
    Rounds first{1, 20, workers, results, {}};
    for (int s = 0; s < strings_per_host; ++s) {
        first.strings.push_back(utf16(app_conninfo(cluster, "a" + std::to_string(s))));
    }
    Rounds second = first;
    second.phase = 2;
    // Before the free-running rounds, every worker claims a session for the first two strings:
    // their tasks wait at a gate of the test's, so each worker takes one of each, and A then
    // holds every slot left to the role. Every task for the third string meets the limit.
    const int gate_keys[] = {lock_key + 1, lock_key + 2};
    Rounds claims = first;
    claims.phase = 0;
    claims.count = 1;
    claims.gates = {gate_keys[0], gate_keys[1]};
    hosts.start("a", [&](const Exports& lib) {
        lib.init();
        if (!hosts.wait("go-a", 60s)) return 2;
        claims.submit(lib);
        first.submit(lib);
        if (!claims.all_done(60s) || !first.all_done(60s)) return 3;
        hosts.raise("a-first-done");
        if (!hosts.wait("go-a2", 60s)) return 4;
        second.submit(lib);
        lib.deinit(true);
        return 0;
    }, 150);

    admin.run("select pg_advisory_lock(" + std::to_string(lock_key) + ")");
    hosts.raise("go-b");
    ASSERT_TRUE(wait_until([&] { return count_sessions(" and application_name = 'vantrel-b' and wait_event_type = 'Lock'") == workers; }, 30s))
        << "host B's workers did not all take a task";
    admin.run("select pg_advisory_unlock(" + std::to_string(lock_key) + ")");

    for (const int key : gate_keys) admin.run("select pg_advisory_lock(" + std::to_string(key) + ")");
    hosts.raise("go-a");
    for (int s = 0; s < 2; ++s) {
        ASSERT_TRUE(wait_until([&] {
            return count_sessions(" and application_name = 'vantrel-a" + std::to_string(s) + "' and wait_event_type = 'Lock'") == workers;
        }, 30s)) << "host A's workers did not all claim a session for string " << s;
        admin.run("select pg_advisory_unlock(" + std::to_string(gate_keys[s]) + ")");
    }
    ASSERT_TRUE(hosts.wait("a-first-done", 90s)) << "host A's first tasks did not all end";
    const long at_limit = count_sessions("");

    std::set<std::string> b_sessions;
    for (int w = 0; w < workers; ++w) {
        const std::string path = results + "/b" + std::to_string(w);
        EXPECT_TRUE(wait_for_file(path, std::chrono::steady_clock::now() + 30s)) << path;
        b_sessions.insert(after_separator(read_file(path)));
    }
    hosts.raise("stop-b");
    const HostRun b = hosts.finish("b");
    // A server process leaves pg_stat_activity a moment before it gives its slot back; gone
    // from the process table, it has.
    ASSERT_TRUE(wait_until([&] { return std::none_of(b_sessions.begin(), b_sessions.end(), process_exists); }, 30s))
        << "host B's sessions outlived it";
    hosts.raise("go-a2");
    const HostRun a = hosts.finish("a");
    ASSERT_FALSE(a.timed_out || b.timed_out) << a.output << b.output;
    ASSERT_EQ(b.exit_code, 0) << b.output;
    ASSERT_EQ(a.exit_code, 0) << a.output;

    EXPECT_EQ(static_cast<int>(b_sessions.size()), workers);

    const Refusals refusals(cluster.port());
    const RoundsVerdict claimed = judge(claims, refusals);
    EXPECT_TRUE(claimed.problems.empty()) << claimed.problems.size() << " unexpected outcomes, first: " << claimed.problems.front();
    EXPECT_EQ(claimed.rows, 2 * workers);
    EXPECT_EQ(claimed.refused, workers);
    const RoundsVerdict limited = judge(first, refusals);
    EXPECT_TRUE(limited.problems.empty()) << limited.problems.size() << " unexpected outcomes, first: " << limited.problems.front();
    EXPECT_GT(limited.rows, 0);
    EXPECT_GT(limited.refused, 0) << "the host never met the limit";
    // B's sessions and A's together never got past the role's share of the server.
    EXPECT_LE(static_cast<int>(limited.sessions.size()), limits.role_slots - workers);

    const RoundsVerdict freed = judge(second, refusals);
    EXPECT_TRUE(freed.problems.empty()) << freed.problems.size() << " unexpected outcomes, first: " << freed.problems.front();
    EXPECT_EQ(freed.refused, 0);
    EXPECT_EQ(freed.rows, static_cast<int>(second.ids().size()));

    std::printf("session limit: %d workers x %d strings, max_connections %d (%d for the role): "
                "with host B's %zu sessions, host A ran %d tasks on %zu sessions and %d got the refusal "
                "(%d of them 'too many clients'); "
                "sessions of the role at the limit: %ld; once B had gone, %d of %zu tasks ran on %zu sessions; "
                "host A's workers met %d (worker, string) pairs\n",
                workers, strings_per_host, limits.max_connections, limits.role_slots, b_sessions.size(),
                limited.rows, limited.sessions.size(), limited.refused, limited.no_slot_at_all, at_limit, freed.rows,
                second.ids().size(), freed.sessions.size(), count_lines_with(a.output, "Connection constructed:"));
}

}  // namespace
}  // namespace vantrel::test
