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

// How the server may close every worker's idle session between two tasks.
struct ClosedSessionCase {
    const char* name;
    const char* options;  // added to the connection string
    bool restart;         // restart the server; otherwise wait until it has ended the idle sessions
};

constexpr ClosedSessionCase closed_session_cases[] = {
    {"restart", "", true},
    {"idle_session_timeout", " options='-c idle_session_timeout=500'", false},
};

// The closed session is met by the timeout statement, before anything of the task has reached
// the server: the task runs on a new session, and no task fails.
TEST_F(HostEndToEnd, SessionsClosedBetweenTasksFailNoTask) {
    const unsigned workers = library_workers();
    for (const ClosedSessionCase& k : closed_session_cases) {
        SCOPED_TRACE(k.name);
        const std::string application = std::string("closed_") + k.name;
        const std::string tagged = conninfo + " application_name=" + application + k.options;
        const std::u16string c = utf16(tagged);
        const std::string case_dir = make_temp_dir();
        const auto file = [&](const std::string& name, unsigned i) { return case_dir + "/" + name + std::to_string(i); };
        const auto submit = [&](const Exports& lib, const std::string& name) {
            return [&, name](unsigned i, const std::string& sql) {
                lib.query(c.c_str(), u";", utf16(sql).c_str(), 30, utf16(file(name, i)).c_str());
            };
        };
        const std::string sessions = "select count(*) from pg_stat_activity where application_name = '" + application + "'";
        const HostRun run = run_host([&](const Exports& lib) {
            // Every worker holds a session.
            if (!on_every_worker(conninfo, 15001, workers, "", submit(lib, "before"))) {
                return failed(4, "the workers did not all open a session");
            }
            for (unsigned i = 0; i < workers; ++i) {
                if (!wait_for_file(file("before", i), Clock::now() + 30s)) return failed(5, "before");
            }
            if (k.restart) {
                restart_test_server();
            } else if (!wait_until([&] { return query_one(conninfo, sessions) == "0"; }, 30s)) {
                return failed(6, "the server did not end the idle sessions");
            }
            // 3 tasks per worker; once every worker waits at the gate, each has met its closed
            // session.
            AdvisoryGate gate(conninfo, 15002);
            const auto after = submit(lib, "after");
            for (unsigned i = 0; i < 3 * workers; ++i) after(i, gate.gated("1"));
            const bool all = gate.wait_for_waiting(workers, 30s);
            gate.open();
            if (!all) return failed(7, "the workers did not all take a task");
            lib.deinit(true);
            return 0;
        });
        ASSERT_EQ(run.exit_code, 0) << run.output;
        int failures = 0;
        for (unsigned i = 0; i < 3 * workers; ++i) {
            const std::string after = read_file(file("after", i));
            failures += after != "1";
            EXPECT_EQ(after, "1") << "task " << i;
        }
        std::printf("%s: %d of %u tasks failed after the sessions were closed\n", k.name, failures, 3 * workers);
    }
}

// Host text in a database whose encoding is not UTF-8, step by step in this order.
struct TextCase {
    const char* name;
    const char* sep;  // nullptr: through cVantrelExec
    const char* sql;
    const char* expected;
    bool whole;  // false: expected is only the beginning of the file
};

constexpr TextCase latin1_cases[] = {
    {"create", nullptr, "create table word(v text)", "TRUE", true},
    {"insert", nullptr, "insert into word values ('\xc3\x84\xc3\xb6')", "TRUE", true},  // Äö
    {"length", ";", "select length(v), octet_length(v) from word", "2;2", true},
    {"read", ";", "select v from word", "\xc3\x84\xc3\xb6", true},
    {"where", ";", "select count(*) from word where v = '\xc3\x84\xc3\xb6'", "1", true},
    // €, which LATIN1 cannot hold.
    {"euro", nullptr, "insert into word values ('\xe2\x82\xac')",
     "ERROR:  character with byte sequence 0xe2 0x82 0xac in encoding \"UTF8\" has no equivalent "
     "in encoding \"LATIN1\"", false},
    {"count", ";", "select count(*) from word", "1", true},
};

TEST_F(HostEndToEnd, TextReachesALatin1DatabaseAsTheHostWroteIt) {
    AdminSession admin(conninfo);
    const std::string drop = "drop database if exists vantrel_latin1 with (force)";
    admin.run(drop);
    admin.run("create database vantrel_latin1 encoding 'LATIN1' lc_collate 'C' lc_ctype 'C' template template0");
    const std::string latin1 = conninfo + " dbname=vantrel_latin1";
    const std::u16string c = utf16(latin1);
    // The host's own client_encoding cannot hold what it sends: UTF-8 wins.
    const std::u16string own_encoding = utf16(latin1 + " client_encoding=LATIN1");
    const unsigned workers = library_workers();
    const std::string read_back = "select v, current_setting('client_encoding') from word";
    const HostRun run = run_host([&](const Exports& lib) {
        for (const TextCase& k : latin1_cases) {
            const std::u16string sql = utf16(k.sql);
            const std::u16string file = utf16(path(k.name));
            if (k.sep != nullptr) {
                lib.query(c.c_str(), utf16(k.sep).c_str(), sql.c_str(), 30, file.c_str());
            } else {
                lib.exec(c.c_str(), sql.c_str(), 30, file.c_str());
            }
            if (!wait_for_file(path(k.name), Clock::now() + 30s)) return failed(4, k.name);
        }
        lib.query(own_encoding.c_str(), u";", utf16(read_back).c_str(), 30, utf16(path("own")).c_str());
        // Every worker's session is switched to LATIN1 by a task of its own...
        const bool all = on_every_worker(latin1, 15003, workers, "set client_encoding = 'LATIN1'; ",
                                         [&](unsigned i, const std::string& sql) {
                                             lib.exec(c.c_str(), utf16(sql).c_str(), 30,
                                                      utf16(path("set" + std::to_string(i))).c_str());
                                         });
        if (!all) return failed(5, "the workers did not all take a task");
        // ...and every later task meets it speaking UTF-8.
        for (unsigned i = 0; i < 3 * workers; ++i) {
            lib.query(c.c_str(), u";", utf16(read_back).c_str(), 30, utf16(path("later" + std::to_string(i))).c_str());
        }
        lib.deinit(true);
        return 0;
    });
    admin.run(drop);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    for (const TextCase& k : latin1_cases) {
        const std::string content = read_file(path(k.name));
        if (k.whole) {
            EXPECT_EQ(content, k.expected) << k.name;
        } else {
            EXPECT_EQ(content.rfind(k.expected, 0), 0u) << k.name << ": " << content;
        }
    }
    const std::string utf8 = "\xc3\x84\xc3\xb6;UTF8";
    EXPECT_EQ(read_file(path("own")), utf8);
    for (unsigned i = 0; i < workers; ++i) EXPECT_EQ(read_file(path("set" + std::to_string(i))), "TRUE");
    for (unsigned i = 0; i < 3 * workers; ++i) EXPECT_EQ(read_file(path("later" + std::to_string(i))), utf8) << i;
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
