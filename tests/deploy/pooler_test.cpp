// PgBouncer between the hosts and the server. In transaction pooling a server connection goes
// back to the pool after every statement, so many host workers share a few server sessions;
// and since a task's `set statement_timeout` and its statement are two statements, they may
// run on different server connections, whose setting then stays for whoever comes next.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "deploy/deploy_support.h"
#include "fault/fault_support.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string pooled_role = "vantrel_pooled";
const std::string statement_timeout_error = "ERROR:  canceling statement due to statement timeout\r\n";

class Pooled : public testing::Test {
protected:
    void SetUp() override {
        dir = deploy_dir(testing::UnitTest::GetInstance()->current_test_info()->name());
        results = make_temp_dir();
        cluster = std::make_unique<Cluster>(Cluster::primary(dir + "/server"));
        admin = std::make_unique<AdminSession>(cluster->conninfo());
        admin->run("create role " + pooled_role + " login");
    }
    std::unique_ptr<PeakSampler> sample_server_sessions() const {
        return std::make_unique<PeakSampler>(
            cluster->conninfo(), "select count(*) from pg_stat_activity where usename = '" + pooled_role + "'");
    }

    std::string dir;
    std::string results;
    std::unique_ptr<Cluster> cluster;
    std::unique_ptr<AdminSession> admin;
};

TEST_F(Pooled, TransactionPoolingKeepsServerSessionsWithinThePool) {
    constexpr int pool_size = 2;
    constexpr int reserve = 1;
    constexpr int host_count = 3;
    constexpr int tasks_per_host = 300;
    const Pooler pooler(dir + "/pooler", *cluster, pooled_role,
                        {"pool_mode=transaction", "default_pool_size=" + std::to_string(pool_size),
                         "reserve_pool_size=" + std::to_string(reserve), "reserve_pool_timeout=0.1"});
    const std::u16string c = utf16(pooler.conninfo());
    const auto id = [](int host, int i) { return std::to_string(host) + "-" + std::to_string(i); };

    HostGroup hosts(results, {"go"});
    for (int h = 0; h < host_count; ++h) {
        hosts.start("host" + std::to_string(h), [&, h](const Exports& lib) {
            lib.init();
            if (!hosts.wait("go", 60s)) return 2;
            // Each statement lasts a moment, so the workers' clients overlap at the pooler.
            for (int i = 0; i < tasks_per_host; ++i) {
                const std::u16string sql = utf16("select '" + id(h, i) + "', pg_backend_pid() from pg_sleep(0.002)");
                lib.query(c.c_str(), u";", sql.c_str(), 30, utf16(results + "/" + id(h, i)).c_str());
            }
            lib.deinit(true);
            return 0;
        }, 120);
    }
    const auto sampler = sample_server_sessions();
    hosts.raise("go");
    int client_sessions = 0;
    for (int h = 0; h < host_count; ++h) {
        const HostRun run = hosts.finish("host" + std::to_string(h));
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0) << run.output;
        client_sessions += count_lines_with(run.output, "Connection constructed:");
    }
    const long peak = sampler->stop();

    std::set<std::string> server_sessions;
    std::vector<std::string> wrong;
    for (int h = 0; h < host_count; ++h) {
        for (int i = 0; i < tasks_per_host; ++i) {
            const std::string path = results + "/" + id(h, i);
            const std::string text = file_exists(path) ? read_file(path) : "(missing)";
            if (text.rfind(id(h, i) + ";", 0) == 0) {
                server_sessions.insert(after_separator(text));
            } else {
                wrong.push_back(id(h, i) + ": '" + text + "'");
            }
        }
    }
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong outcomes, first: " << wrong.front();
    EXPECT_GT(client_sessions, pool_size + reserve) << "too few clients to need a pool";
    EXPECT_GT(sampler->samples(), 0);
    EXPECT_GE(peak, 1);
    EXPECT_LE(peak, pool_size + reserve);
    EXPECT_LE(static_cast<int>(server_sessions.size()), pool_size + reserve);
    std::printf("transaction pooling: %d hosts x %u workers = %d client sessions, %d tasks, all right; "
                "server sessions: peak %ld in %ld samples, %zu distinct ran the tasks "
                "(pool_size %d + reserve %d)\n",
                host_count, library_workers(), client_sessions, host_count * tasks_per_host, peak,
                sampler->samples(), server_sessions.size(), pool_size, reserve);
}

// One host runs a task with `time` 1 whose statement sleeps 3 s, round after round, while
// another keeps asking with `time` 0 what statement_timeout its statement runs under.
struct TimeoutMode {
    const char* name;
    const char* pool_mode;  // nullptr: straight to the server
    unsigned pool_size;
    bool timeouts_hold;     // each task's statement runs under its own timeout
    bool pins_clients;      // every client session holds a server session of its own
};

struct TimeoutCounts {
    double cancelled, ran_past_budget, timed_other, busy_tasks, leaked, busy_other, server_peak;
};

TEST_F(Pooled, PerTaskTimeoutsHoldOnlyWithoutTransactionPooling) {
    const unsigned workers = library_workers();
    constexpr int rounds = 4;
    // Session pooling pins one server connection per client: room for both hosts' workers.
    const TimeoutMode modes[] = {
        {"direct", nullptr, 0, true, true},
        {"session", "session", 2 * workers + 2, true, true},
        {"transaction", "transaction", 2, false, false},
    };
    for (const TimeoutMode& mode : modes) {
        SCOPED_TRACE(mode.name);
        const std::string folder = results + "/" + mode.name;
        std::filesystem::create_directories(folder);
        std::optional<Pooler> pooler;
        if (mode.pool_mode != nullptr) {
            pooler.emplace(dir + "/pooler-" + mode.name, *cluster, pooled_role,
                           std::vector<std::string>{std::string("pool_mode=") + mode.pool_mode,
                                                    "default_pool_size=" + std::to_string(mode.pool_size)});
        }
        const std::u16string c = utf16(pooler ? pooler->conninfo() : cluster->conninfo(pooled_role));
        const auto busy_file = [&](int i) { return folder + "/b" + std::to_string(i); };

        HostGroup hosts(folder, {"go", "busy-stop"});
        hosts.start("busy", [&](const Exports& lib) {
            lib.init();
            if (!hosts.wait("go", 60s)) return 2;
            const int window = 2 * static_cast<int>(workers);
            int submitted = 0;
            for (; submitted < 20000 && !file_exists(folder + "/busy-stop"); ++submitted) {
                if (submitted >= window && !wait_for_file(busy_file(submitted - window), Clock::now() + 30s)) break;
                lib.query(c.c_str(), u";", u"select current_setting('statement_timeout')", 0,
                          utf16(busy_file(submitted)).c_str());
            }
            lib.deinit(true);
            int leaked = 0, other = 0;
            for (int i = 0; i < submitted; ++i) {
                const std::string text = read_file(busy_file(i));
                if (text == "1s") ++leaked;
                else if (text != "0") ++other;
            }
            print_figure("busy_tasks", submitted);
            print_figure("leaked", leaked);
            print_figure("busy_other", other);
            return 0;
        }, 120);
        hosts.start("timed", [&](const Exports& lib) {
            lib.init();
            if (!hosts.wait("go", 60s) || !wait_for_file(busy_file(50), Clock::now() + 30s)) return 2;
            int cancelled = 0, ran = 0, other = 0;
            for (int round = 0; round < rounds; ++round) {
                const std::string path = folder + "/t" + std::to_string(round);
                const auto start = Clock::now();
                lib.query(c.c_str(), u";", u"select pg_sleep(3)", 1, utf16(path).c_str());
                if (!wait_for_file(path, start + 30s)) return 3;
                const std::string text = read_file(path);
                if (text == statement_timeout_error) ++cancelled;
                else if (text.empty()) ++ran;
                else ++other;
                std::printf("timed task %d: %.2f s, '%s'\n", round, seconds_since(start), text.c_str());
            }
            hosts.raise("busy-stop");
            lib.deinit(true);
            print_figure("cancelled", cancelled);
            print_figure("ran_past_budget", ran);
            print_figure("timed_other", other);
            return 0;
        }, 120);
        const auto sampler = sample_server_sessions();
        hosts.raise("go");
        const HostRun timed = hosts.finish("timed");
        const HostRun busy = hosts.finish("busy");
        const long peak = sampler->stop();
        ASSERT_FALSE(timed.timed_out || busy.timed_out) << timed.output << busy.output;
        ASSERT_EQ(timed.exit_code, 0) << timed.output;
        ASSERT_EQ(busy.exit_code, 0) << busy.output;

        const long clients = count_lines_with(timed.output + busy.output, "Connection constructed:");
        const TimeoutCounts n{figure(timed.output, "cancelled"), figure(timed.output, "ran_past_budget"),
                              figure(timed.output, "timed_other"), figure(busy.output, "busy_tasks"),
                              figure(busy.output, "leaked"), figure(busy.output, "busy_other"),
                              static_cast<double>(peak)};
        EXPECT_EQ(n.timed_other, 0) << timed.output;
        EXPECT_EQ(n.busy_other, 0) << busy.output;
        EXPECT_EQ(n.cancelled + n.ran_past_budget, rounds);
        if (mode.pins_clients) {
            EXPECT_EQ(peak, clients);
        }
        if (mode.timeouts_hold) {
            EXPECT_EQ(n.cancelled, rounds) << timed.output;
            EXPECT_EQ(n.leaked, 0);
        } else {
            // Shown, not just possible: a budget missed its statement or reached another's.
            EXPECT_GT(n.ran_past_budget + n.leaked, 0) << timed.output;
            EXPECT_LE(peak, static_cast<long>(mode.pool_size));
        }
        std::printf("%s: time-1 task with pg_sleep(3): %.0f of %d cancelled at the budget, %.0f ran the full 3 s; "
                    "%.0f time-0 tasks, %.0f of them ran under another task's 1 s; %ld client sessions, server sessions peak %.0f\n",
                    mode.name, n.cancelled, rounds, n.ran_past_budget, n.busy_tasks, n.leaked, clients, n.server_peak);
    }
}

// A role's statement_timeout is only where a session starts: the library's own setting before
// each task replaces it. PgBouncer's query_timeout is enforced outside the session.
TEST_F(Pooled, RoleTimeoutIsReplacedByTheTaskWhileThePoolersQueryTimeoutHolds) {
    admin->run("alter role " + pooled_role + " set statement_timeout = '1s'");
    ASSERT_EQ(AdminSession(cluster->conninfo(pooled_role)).value("show statement_timeout"), "1s");
    const Pooler pooler(dir + "/pooler", *cluster, pooled_role,
                        {"pool_mode=transaction", "default_pool_size=2", "query_timeout=2"});
    const std::u16string direct = utf16(cluster->conninfo(pooled_role));
    const std::u16string pooled = utf16(pooler.conninfo());
    const unsigned workers = library_workers();
    const HostRun run = run_host([&](const Exports& lib) {
        lib.init();
        const auto start = Clock::now();
        lib.query(direct.c_str(), u";", u"select pg_sleep(4)", 0, utf16(results + "/direct").c_str());
        lib.query(pooled.c_str(), u";", u"select pg_sleep(4)", 0, utf16(results + "/pooled").c_str());
        std::optional<double> direct_seconds, pooled_seconds;
        while ((!direct_seconds || !pooled_seconds) && seconds_since(start) < 60) {
            if (!direct_seconds && file_exists(results + "/direct")) direct_seconds = seconds_since(start);
            if (!pooled_seconds && file_exists(results + "/pooled")) pooled_seconds = seconds_since(start);
            std::this_thread::sleep_for(5ms);
        }
        print_figure("direct_seconds", direct_seconds.value_or(-1));
        print_figure("pooled_seconds", pooled_seconds.value_or(-1));
        // Every worker, the one whose client the pooler dropped included, takes tasks again.
        for (unsigned i = 0; i < 2 * workers; ++i) {
            lib.query(pooled.c_str(), u";", u"select 1", 0, utf16(results + "/next" + std::to_string(i)).c_str());
        }
        lib.deinit(true);
        return 0;
    }, 120);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::string pooled_text = read_file(results + "/pooled");
    EXPECT_EQ(read_file(results + "/direct"), "") << "the statement did not run its 4 s";
    EXPECT_TRUE(is_error_text(pooled_text)) << pooled_text;
    int next_rows = 0, next_errors = 0;
    for (unsigned i = 0; i < 2 * workers; ++i) {
        const std::string text = read_file(results + "/next" + std::to_string(i));
        if (text == "1") ++next_rows;
        else if (is_error_text(text)) ++next_errors;
        else ADD_FAILURE() << "next task " << i << ": '" << text << "'";
    }
    EXPECT_LE(next_errors, 1);
    std::printf("role statement_timeout 1s, task time 0, pg_sleep(4): direct ended after %.2f s with its row; "
                "through the pooler (query_timeout 2) after %.2f s with '%s'; next %u tasks: %d rows, %d errors\n",
                figure(run.output, "direct_seconds"), figure(run.output, "pooled_seconds"), pooled_text.c_str(),
                2 * workers, next_rows, next_errors);
}

}  // namespace
}  // namespace vantrel::test
