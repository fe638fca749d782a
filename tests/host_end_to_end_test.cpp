// What a host sees, where only Linux can look: the library loaded with dlopen, against the
// throwaway server, which these cases restart or watch through a libpq session of their own
// (scripts/pg-cluster.sh and the test's libpq, which the Windows test programs under Wine do
// not have). Every other host-level case is in tests/host/host_test.cpp, run by every build.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/server_test.h"
#include "vantrel.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class HostEndToEnd : public ServerTest {};

// A step of a forked host that did not come: its exit code, and why on standard output.
int failed(int code, const char* what) {
    std::printf("FAILED: %s\n", what);
    return code;
}

TEST_F(HostEndToEnd, ServerRestartIsFollowedByWorkingTasks) {
    const std::u16string c = utf16(conninfo);
    const unsigned workers = library_workers();
    const auto submit = [&](const Exports& lib, const std::string& sql, const std::string& name, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            lib.query(c.c_str(), u";", utf16(sql).c_str(), 30, utf16(path(name + std::to_string(i))).c_str());
        }
    };
    const HostRun run = run_host([&](const Exports& lib) {
        {
            // Every worker holds a task at the gate, so every worker has a session.
            AdvisoryGate gate(conninfo, 15001);
            submit(lib, gate.gated("1"), "before", workers);
            if (!gate.wait_for_waiting(workers, 30s)) return failed(4, "the workers did not all open a session");
            gate.open();
        }
        for (unsigned i = 0; i < workers; ++i) {
            if (!wait_for_file(path("before" + std::to_string(i)), Clock::now() + 30s)) return failed(5, "before");
        }
        restart_test_server();
        // A worker's first task after the restart meets its closed session and ends at once; its
        // next opens a new session and waits at the gate. Once every worker waits there, every
        // closed session has been met, and no later task can meet one.
        AdvisoryGate gate(conninfo, 15002);
        submit(lib, gate.gated("1"), "after", 2 * workers);
        if (!gate.wait_for_waiting(workers, 30s)) return failed(6, "the workers did not all reconnect");
        gate.open();
        submit(lib, "select 42", "later", 4 * workers);
        lib.deinit(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    int lost_sessions = 0;
    for (unsigned i = 0; i < 2 * workers; ++i) {
        const std::string after = read_file(path("after" + std::to_string(i)));
        if (after != "1") {
            EXPECT_EQ(after.rfind("ERROR: Failed to set timeout: ", 0), 0u) << after;
            ++lost_sessions;
        }
    }
    EXPECT_GE(lost_sessions, 1) << "the restart reached no session";
    EXPECT_LE(lost_sessions, static_cast<int>(workers));
    for (unsigned i = 0; i < 4 * workers; ++i) EXPECT_EQ(read_file(path("later" + std::to_string(i))), "42");
}

// What a statement leaves in its session, as hosts see it: its own outcome, then plain inserts
// that any worker may take, each of which must read TRUE only for a row that is committed.
struct SessionStateCase {
    const char* first;
    const char* sep;  // nullptr: through cVantrelExec
    const char* outcome;
    bool whole;  // false: outcome is only the beginning of the file
};

constexpr const char* rolled_back = "ERROR: The statement left a transaction open; it was rolled back";

constexpr SessionStateCase session_state_cases[] = {
    {"begin", nullptr, rolled_back, true},
    {"begin", ";", rolled_back, true},
    {"begin; select 1/0", nullptr, "ERROR:  division by zero", false},
    {"begin; select 1/0", ";", "ERROR:  division by zero", false},
    // Rows or TRUE would report work that was undone.
    {"begin; insert into session_probe values (-1)", nullptr, rolled_back, true},
    {"begin; insert into session_probe values (-1) returning x", ";", rolled_back, true},
    // A task sends no copy data in and takes none out: the copy ends with the task.
    {"copy session_probe from stdin", nullptr, "", true},
    {"copy session_probe from stdin", ";", "", true},
    {"copy (select 1) to stdout", nullptr, "", true},
    {"copy (select 1) to stdout", ";", "", true},
};

TEST_F(HostEndToEnd, EverySessionIsIdleAfterEachTaskAndLaterWritesAreCommitted) {
    AdminSession admin(conninfo);
    admin.run("create table session_probe(x int)");
    const std::string tagged = conninfo + " application_name=session_probe";
    const std::u16string c = utf16(tagged);
    const unsigned workers = library_workers();
    constexpr int inserts = 20;
    for (const SessionStateCase& k : session_state_cases) {
        SCOPED_TRACE(std::string(k.first) + (k.sep != nullptr ? " (rows)" : " (exec)"));
        admin.run("truncate session_probe");
        const std::string case_dir = make_temp_dir();
        const auto file = [&](const std::string& name) { return case_dir + "/" + name; };
        const HostRun run = run_host([&](const Exports& lib) {
            const std::u16string first = utf16(k.first);
            for (unsigned i = 0; i < 2 * workers; ++i) {
                const std::u16string out = utf16(file("first" + std::to_string(i)));
                if (k.sep != nullptr) {
                    lib.query(c.c_str(), utf16(k.sep).c_str(), first.c_str(), 30, out.c_str());
                } else {
                    lib.exec(c.c_str(), first.c_str(), 30, out.c_str());
                }
            }
            for (int i = 0; i < inserts; ++i) {
                lib.exec(c.c_str(), u"insert into session_probe values (1)", 30,
                         utf16(file("insert" + std::to_string(i))).c_str());
            }
            // Every task has ended, each one's session back to idle before its file arrived.
            for (unsigned i = 0; i < 2 * workers; ++i) {
                if (!wait_for_file(file("first" + std::to_string(i)), Clock::now() + 60s)) {
                    return failed(4, "a first statement never reported");
                }
            }
            for (int i = 0; i < inserts; ++i) {
                if (!wait_for_file(file("insert" + std::to_string(i)), Clock::now() + 60s)) {
                    return failed(4, "an insert never reported");
                }
            }
            // Asked while the library's sessions are still open.
            const std::string open_blocks = query_one(
                conninfo, "select count(*) from pg_stat_activity where application_name = "
                          "'session_probe' and state like 'idle in transaction%'");
            std::printf("sessions in a transaction: %s\n", open_blocks.c_str());
            lib.deinit(true);
            return open_blocks == "0" ? 0 : 5;
        });
        EXPECT_EQ(run.exit_code, 0) << run.output;
        for (unsigned i = 0; i < 2 * workers; ++i) {
            const std::string content = read_file(file("first" + std::to_string(i)));
            if (k.whole) {
                EXPECT_EQ(content, k.outcome);
            } else {
                EXPECT_EQ(content.rfind(k.outcome, 0), 0u) << content;
            }
        }
        for (int i = 0; i < inserts; ++i) EXPECT_EQ(read_file(file("insert" + std::to_string(i))), "TRUE");
        EXPECT_EQ(admin.value("select count(*) from session_probe"), std::to_string(inserts));
    }
    admin.run("drop table session_probe");
}

}  // namespace
}  // namespace vantrel::test
