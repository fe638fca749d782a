// The server and the network fail under a host that keeps submitting: every accepted task still
// ends with its file (the right rows or an error text), nothing hangs, and the workers go on.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fault/fault_support.h"
#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/server_test.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class ServerFaults : public ServerTest {};

// Host threads submit at a steady pace while fault() runs on the host's main thread, and go on
// for a fixed number of tasks after it has ended. Each task selects its own id. The ledger file
// records, per thread, the first submission made after the fault and the number submitted.
struct PacedLoad {
    int threads = 8;
    int after_fault = sanitized_build() ? 50 : 250;
    int bound = 20000;  // per thread, whatever the fault does
    std::chrono::microseconds pace{2000};

    static std::string id(int thread, int i) { return std::to_string(thread) + "-" + std::to_string(i); }

    template <typename Fault>
    int run(const Exports& lib, const std::u16string& conninfo, const std::string& dir,
            Fault fault) const {
        lib.init();
        std::atomic<int> refused{0};
        const PacedHosts hosts{threads, after_fault, bound, pace};
        // The fault starts once tasks are flowing.
        const PacedHosts::Run run = hosts.run(
            [&](int t, int i) {
                const std::u16string sql = utf16("select '" + id(t, i) + "'");
                const std::u16string file = utf16(dir + "/" + id(t, i));
                if (!lib.query(conninfo.c_str(), u";", sql.c_str(), 30, file.c_str())) ++refused;
            },
            dir + "/" + id(0, 300), 120s, fault);
        if (!run.flowing) {
            std::printf("FAILED: no outcome arrived before the fault\n");
            lib.deinit(false);
            return 4;
        }
        lib.deinit(true);
        std::ofstream ledger(dir + "/ledger");
        for (int t = 0; t < threads; ++t) ledger << run.first_after[t] << " " << run.submitted[t] << "\n";
        return refused.load() == 0 ? 0 : 3;
    }
};

struct LoadVerdict {
    int tasks = 0;
    int expected = 0;
    int errors = 0;
    int errors_after_fault = 0;
    int submitted_after_fault = 0;
    std::vector<std::string> problems;  // missing files and texts that are neither
};

LoadVerdict judge(const PacedLoad& load, const std::string& dir) {
    LoadVerdict verdict;
    std::ifstream ledger(dir + "/ledger");
    for (int t = 0; t < load.threads; ++t) {
        int first_after = -1;
        int submitted = 0;
        ledger >> first_after >> submitted;
        if (first_after < 0) first_after = submitted;
        verdict.tasks += submitted;
        verdict.submitted_after_fault += submitted - first_after;
        for (int i = 0; i < submitted; ++i) {
            const std::string file = dir + "/" + PacedLoad::id(t, i);
            switch (classify(file, PacedLoad::id(t, i))) {
                case Outcome::expected: ++verdict.expected; break;
                case Outcome::error_text:
                    ++verdict.errors;
                    if (i >= first_after) ++verdict.errors_after_fault;
                    break;
                case Outcome::missing: verdict.problems.push_back(file + ": missing"); break;
                case Outcome::other:
                    verdict.problems.push_back(file + ": '" + read_file(file) + "'");
                    break;
            }
        }
    }
    return verdict;
}

void expect_no_task_lost(const LoadVerdict& verdict) {
    EXPECT_GT(verdict.tasks, 0);
    EXPECT_EQ(verdict.expected + verdict.errors, verdict.tasks);
    EXPECT_TRUE(verdict.problems.empty())
        << verdict.problems.size() << " tasks without a proper outcome, first: "
        << verdict.problems.front();
    // Once the fault is over, no task fails: a session the server closed is found closed
    // before a task's statement is sent, and the task runs on a new one.
    EXPECT_GT(verdict.submitted_after_fault, 0) << "the load ended before the fault did";
    EXPECT_EQ(verdict.errors_after_fault, 0);
}

TEST_F(ServerFaults, RestartUnderLoadLosesNoTask) {
    const PacedLoad load;
    const std::u16string c = utf16(conninfo);
    const HostRun run = run_host(
        [&](const Exports& lib) { return load.run(lib, c, dir, [] { restart_test_server(); }); }, 300);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const LoadVerdict verdict = judge(load, dir);
    expect_no_task_lost(verdict);
    // The restart reached running statements and refused connections meanwhile, or the test
    // proved nothing.
    EXPECT_GT(verdict.errors, 0);
    std::printf("restart under load: %d tasks, %d correct, %d error texts (%d after the restart)\n",
                verdict.tasks, verdict.expected, verdict.errors, verdict.errors_after_fault);
}

TEST_F(ServerFaults, BackendsTerminatedInALoopLoseNoTask) {
    const PacedLoad load;
    const std::string application = "vantrel-fault-terminate";
    const std::u16string c = utf16(conninfo + " application_name=" + application);
    const std::string admin = conninfo;
    std::atomic<long> terminated{0};
    const HostRun run = run_host(
        [&](const Exports& lib) {
            const int status = load.run(lib, c, dir, [&] {
                // Bounded: 60 rounds, about two seconds.
                for (int round = 0; round < 60; ++round) {
                    terminated += std::stol(query_one(
                        admin, "select count(*) filter (where pg_terminate_backend(pid)) "
                               "from pg_stat_activity where application_name = '" +
                                   application + "'"));
                    std::this_thread::sleep_for(30ms);
                }
            });
            print_figure("terminated", static_cast<double>(terminated.load()));
            return status;
        },
        300);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_GT(figure(run.output, "terminated"), 0) << "no session was terminated";
    const LoadVerdict verdict = judge(load, dir);
    expect_no_task_lost(verdict);
    std::printf("terminated %.0f sessions: %d tasks, %d correct, %d error texts (%d after)\n",
                figure(run.output, "terminated"), verdict.tasks, verdict.expected,
                verdict.errors, verdict.errors_after_fault);
}

// Outcomes are read inside the host: its network namespace is its own.
TEST_F(ServerFaults, SilentNetworkEndsTheTaskWithinTheKeepaliveTime) {
    const unsigned workers = library_workers();
    const int server_port = test_server_port();
    const HostRun run = run_host([&](const Exports& lib) {
        NamespaceRelay relay(server_port);
        // Opened before the move, this session stays in the machine's network: it sees the
        // server while the host's own network is silent.
        AdminSession server(conninfo);
        std::string why;
        if (!enter_private_network_namespace(why)) {
            std::printf("SKIP: no private network namespace here (%s)\n", why.c_str());
            return skip_exit_code;
        }
        const int relay_port = relay.listen_here();
        const std::string base = "host=127.0.0.1 port=" + std::to_string(relay_port) + " user=postgres dbname=postgres";
        // With data unacknowledged when the network goes, the kernel retransmits instead of
        // probing, and keepalives alone never fire: the statements' bytes are acknowledged first.
        const auto acknowledged = [&] {
            return wait_until([&] { return unacknowledged_bytes(relay_port) == 0; }, 10s);
        };
        ChildChecks checks;
        const auto submit_all = [&](const std::string& conn, const char16_t* sql, int time,
                                    const std::string& prefix) {
            const std::u16string c = utf16(conn);
            for (unsigned i = 0; i < workers; ++i) {
                lib.query(c.c_str(), u";", sql, time, utf16(dir + "/" + prefix + std::to_string(i)).c_str());
            }
        };
        const auto wait_all = [&](const std::string& prefix, Clock::time_point deadline) {
            bool all = true;
            for (unsigned i = 0; i < workers; ++i) {
                all = wait_for_file(dir + "/" + prefix + std::to_string(i), deadline) && all;
            }
            return all;
        };
        // Every worker is inside its statement before the network goes. The names carry the
        // host's pid: sessions of an earlier, killed run may still be sleeping on the server.
        const std::string run_id = std::to_string(getpid());
        const auto wait_active = [&](const std::string& application) {
            const auto deadline = Clock::now() + 30s;
            while (Clock::now() < deadline) {
                if (std::stoul(query_one(base, "select count(*) from pg_stat_activity where state = "
                                               "'active' and query = 'select pg_sleep(120)' and "
                                               "application_name = '" +
                                                   application + "'")) == workers) {
                    return true;
                }
                std::this_thread::sleep_for(20ms);
            }
            return false;
        };
        struct Variant {
            const char* name;
            const char* options;
            double detection_seconds;  // what the options promise
        };
        const Variant variants[] = {
            {"keepalives", "keepalives_idle=1 keepalives_interval=1 keepalives_count=2", 3.0},
            {"tcp_user_timeout", "tcp_user_timeout=2000 keepalives_idle=1 keepalives_interval=1", 3.0},
        };
        for (const Variant& variant : variants) {
            const std::string application = std::string("vantrel-silent-") + variant.name + "-" + run_id;
            const std::string conn = base + " application_name=" + application + " " + variant.options;
            const std::string hung = std::string(variant.name) + "-hung";
            submit_all(conn, u"select pg_sleep(120)", 0, hung);
            checks.expect(wait_active(application), "statements running before the fault");
            checks.expect(acknowledged(), "statements acknowledged before the fault");
            checks.expect(set_loopback(false, why), why);
            const auto silent_since = Clock::now();
            const bool ended = wait_all(hung, silent_since + std::chrono::duration_cast<Clock::duration>(
                                                                 std::chrono::duration<double>(
                                                                     variant.detection_seconds + 5)));
            const double took = seconds_since(silent_since);
            checks.expect(set_loopback(true, why), why);
            checks.expect(ended, std::string(variant.name) + ": tasks still running " +
                                     std::to_string(took) + " s after the network went silent");
            print_figure(std::string("silent_") + variant.name + "_seconds", took);
            for (unsigned i = 0; i < workers; ++i) {
                const std::string text = read_file(dir + "/" + hung + std::to_string(i));
                checks.expect(is_error_text(text), std::string(variant.name) + ": outcome '" + text + "'");
            }
            // Every worker is free again and reconnects for its next task.
            const std::string next = std::string(variant.name) + "-next";
            submit_all(conn, u"select 42", 0, next);
            checks.expect(wait_all(next, Clock::now() + 30s), "next tasks ran");
            for (unsigned i = 0; i < workers; ++i) {
                checks.expect(read_file(dir + "/" + next + std::to_string(i)) == "42",
                              std::string(variant.name) + ": next task's outcome");
            }
        }
        // Without them, the statement timeout cannot end the task: its error never arrives.
        const std::string control = "vantrel-silent-control-" + run_id;
        submit_all(base + " application_name=" + control, u"select pg_sleep(120)", 3, "control");
        checks.expect(wait_active(control), "control statements running");
        checks.expect(acknowledged(), "control statements acknowledged before the fault");
        checks.expect(set_loopback(false, why), why);
        // The server ends them at their timeout and sends the error, which cannot arrive.
        checks.expect(wait_until([&] {
                          return server.number("select count(*) from pg_stat_activity where state = 'active' "
                                               "and application_name = '" + control + "'") == 0;
                      }, 30s),
                      "the server ended the control statements at their timeout");
        for (unsigned i = 0; i < workers; ++i) {
            checks.expect(!file_exists(dir + "/control" + std::to_string(i)),
                          "a control task ended while the network was silent");
        }
        checks.expect(set_loopback(true, why), why);
        checks.expect(relay.drop_all(), "the relay dropped its connections");
        checks.expect(wait_all("control", Clock::now() + 60s), "control tasks ended after the network came back");
        // The statements cut off from their hosts would sleep on for two minutes.
        query_one(base, "select count(pg_terminate_backend(pid)) from pg_stat_activity where "
                        "application_name like 'vantrel-silent-%-" + run_id + "'");
        lib.deinit(true);
        return checks.exit_code();
    }, 300);
    if (run.exit_code == skip_exit_code) GTEST_SKIP() << run.output;
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    for (const char* name : {"keepalives", "tcp_user_timeout"}) {
        const double took = figure(run.output, std::string("silent_") + name + "_seconds");
        EXPECT_LT(took, 3.0 + 5.0) << name;
        std::printf("silent network, %s: task ended %.2f s after the link went down\n", name, took);
    }
}

// Last in this file, and the server is started again whatever happens: later tests need it.
TEST_F(ServerFaults, ServerStoppedForGoodGivesEveryTaskTheConnectionError) {
    struct StartAgain {
        ~StartAgain() {
            try {
                restart_test_server();
            } catch (const std::exception& error) {
                ADD_FAILURE() << error.what();
            }
        }
    } start_again;
    const std::u16string c = utf16(conninfo);
    const unsigned workers = library_workers();
    constexpr int stopped_tasks = 400;
    const HostRun run = run_host([&](const Exports& lib) {
        // Every worker holds a live session when the server goes.
        for (unsigned i = 0; i < 4 * workers; ++i) {
            lib.query(c.c_str(), u";", u"select 1", 30, utf16(dir + "/warm" + std::to_string(i)).c_str());
        }
        for (unsigned i = 0; i < 4 * workers; ++i) {
            if (!wait_for_file(dir + "/warm" + std::to_string(i), Clock::now() + 60s)) return 4;
        }
        stop_test_server();
        const auto start = Clock::now();
        for (int i = 0; i < stopped_tasks; ++i) {
            lib.query(c.c_str(), u";", u"select 1", 30, utf16(dir + "/down" + std::to_string(i)).c_str());
        }
        lib.deinit(true);
        print_figure("drain_seconds", seconds_since(start));
        return 0;
    }, 120);
    ASSERT_FALSE(run.timed_out) << "the drain did not complete: " << run.output;
    ASSERT_NE(run.exit_code, 4) << "the sessions were not all open before the stop\n" << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    for (unsigned i = 0; i < 4 * workers; ++i) EXPECT_EQ(read_file(path("warm" + std::to_string(i))), "1");
    const std::string refused = "connection to server at \"127.0.0.1\", port " +
                                std::to_string(test_server_port()) + " failed: Connection refused";
    // The first task on a session the server closed tries one new session, and gets its refusal.
    int connection_errors = 0;
    for (int i = 0; i < stopped_tasks; ++i) {
        const std::string text = read_file(path("down" + std::to_string(i)));
        connection_errors += text.rfind(refused, 0) == 0;
        EXPECT_EQ(text.rfind(refused, 0), 0u) << "task " << i << ": '" << text << "'";
    }
    EXPECT_LT(figure(run.output, "drain_seconds"), 30.0);
    std::printf("server stopped: %d tasks drained in %.2f s, %d connection errors\n", stopped_tasks,
                figure(run.output, "drain_seconds"), connection_errors);
}

}  // namespace
}  // namespace vantrel::test
