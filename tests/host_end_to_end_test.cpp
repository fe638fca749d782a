// What a host sees: the library loaded with dlopen, tasks submitted through the exports,
// outcomes read back from the result files byte for byte, against the throwaway server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/server_test.h"
#include "vantrel.h"

namespace vantrel::test {
namespace {

struct Submitted {
    std::string file;  // path under the test's directory
    std::string expected;
};

class HostEndToEnd : public ServerTest {};

TEST_F(HostEndToEnd, EveryOutcomeFormReachesItsFileByteForByte) {
    const std::u16string c = utf16(conninfo);
    const std::string exotic = "\xd0\xb6\xd1\x83\xd0\xba-\xf0\x9f\x98\x80.csv";
    const HostRun run = run_host([&](const Exports& lib) {
        lib.init();
        const auto q = [&](const char16_t* sep, const char16_t* sql, int time, const std::string& name) {
            return lib.query(c.c_str(), sep, sql, time, utf16(path(name)).c_str());
        };
        bool ok = q(u";", u"select 1, 'a' union all select 2, 'b' order by 1", 30, "rows.txt") &&
                  lib.exec(c.c_str(), u"select 1", 30, utf16(path("exec.txt")).c_str()) &&
                  q(u";", u"select * from no_such_table", 30, "error.txt") &&
                  q(u";", u"select 1", -1, "timeout.txt") &&
                  q(u";", u"select 1 where false", 30, "empty.txt") &&
                  q(u";", u"select E'a\\r\\nb'", 30, "cr.txt") &&
                  q(u";", u"select 'exotic'", 30, exotic) &&
                  q(u";", u"select 1", 30, "missing-dir/x.txt");
        lib.deinit(true);
        return ok ? 0 : 3;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(read_file(path("rows.txt")), "1;a\r\n2;b");
    EXPECT_EQ(read_file(path("exec.txt")), "TRUE");
    EXPECT_EQ(read_file(path("error.txt")).rfind("ERROR:  relation \"no_such_table\" does not exist\r\n", 0), 0u);
    EXPECT_EQ(read_file(path("timeout.txt")).rfind("ERROR: Failed to set timeout: ERROR:  ", 0), 0u);
    ASSERT_TRUE(file_exists(path("empty.txt")));
    EXPECT_EQ(read_file(path("empty.txt")), "");
    EXPECT_EQ(read_file(path("cr.txt")), "a\r\r\nb");
    EXPECT_EQ(read_file(path(exotic)), "exotic");
    EXPECT_EQ(count_lines_with(run.output, "[error] worker_function(): Can`t write results to file \"" +
                                               path("missing-dir/x.txt") + "\": "),
              1)
        << run.output;
    // No temporary file survives, the failed write's included.
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename().string().rfind(".vantrel-", 0), std::string::npos)
            << entry.path();
    }
}

TEST_F(HostEndToEnd, WorkerDebugLinesShowTheTaskAndAnExcerptOfItsOutcome) {
    const std::string secret = "Pw4Excerpt";
    const std::u16string c = utf16(conninfo + " password=" + secret);
    const HostRun run = run_linked([&] {
        const auto q = [&](const char16_t* sql, const std::string& name) {
            return cVantrel(c.c_str(), u";", sql, 30, utf16(path(name)).c_str());
        };
        const bool ok = q(u"select repeat('x', 1024)", "exact") &&
                        q(u"select repeat('y', 1025)", "over") && q(u"select ''", "blank") &&
                        q(u"select 1", "missing-dir/f") && q(u"select 2", "after-failure");
        cVantrelDeinit(true);
        return ok ? 0 : 3;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::string finished = "worker_function(): Query execution finished. Result:\n'''";
    EXPECT_NE(run.output.find(finished + std::string(1024, 'x') + "'''"), std::string::npos);
    EXPECT_NE(run.output.find(finished + std::string(1024, 'y') + "...'''"), std::string::npos);
    EXPECT_EQ(run.output.find(std::string(1025, 'y')), std::string::npos);
    EXPECT_NE(run.output.find(finished + "'''"), std::string::npos);
    EXPECT_EQ(read_file(path("over")), std::string(1025, 'y'));
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Dequeue task {\"query\":\"select 2\""), 1);
    // A failed write does not end the worker: the task after it still lands.
    EXPECT_EQ(count_lines_with(run.output, "[error] worker_function(): Can`t write results to file"), 1);
    EXPECT_EQ(read_file(path("after-failure")), "2");
    EXPECT_EQ(run.output.find(secret), std::string::npos) << "password leaked to the log";
}

TEST_F(HostEndToEnd, ExistingFileIsReplacedWhole) {
    {
        std::FILE* file = std::fopen(path("old.txt").c_str(), "w");
        std::fputs("a much longer previous content that must vanish entirely\n", file);
        std::fclose(file);
    }
    const std::u16string c = utf16(conninfo);
    const HostRun run = run_host([&](const Exports& lib) {
        const bool ok = lib.exec(c.c_str(), u"select 1", 30, utf16(path("old.txt")).c_str());
        lib.deinit(true);
        return ok ? 0 : 3;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(read_file(path("old.txt")), "TRUE");
}

TEST_F(HostEndToEnd, ServerRestartIsFollowedByWorkingTasks) {
    const std::u16string c = utf16(conninfo);
    const HostRun run = run_host([&](const Exports& lib) {
        const unsigned workers = library_workers();
        // Give every worker a session, then restart the server under them.
        for (unsigned i = 0; i < 4 * workers; ++i) {
            lib.query(c.c_str(), u";", u"select 1", 30, utf16(path("before" + std::to_string(i))).c_str());
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        restart_test_server();
        // The first task on each stale session may report the lost session; later ones succeed.
        for (unsigned i = 0; i < 4 * workers; ++i) {
            lib.query(c.c_str(), u";", u"select 1", 30, utf16(path("after" + std::to_string(i))).c_str());
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        for (unsigned i = 0; i < 4 * workers; ++i) {
            lib.query(c.c_str(), u";", u"select 42", 30, utf16(path("later" + std::to_string(i))).c_str());
        }
        lib.deinit(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const unsigned workers = library_workers();
    for (unsigned i = 0; i < 4 * workers; ++i) {
        const std::string after = read_file(path("after" + std::to_string(i)));
        EXPECT_TRUE(after == "1" || after.rfind("ERROR: Failed to set timeout: ", 0) == 0) << after;
        EXPECT_EQ(read_file(path("later" + std::to_string(i))), "42");
    }
}

TEST_F(HostEndToEnd, DrainWritesEveryWaitingTaskAndNoDrainDoesNotWait) {
    const std::u16string c = utf16(conninfo);
    const HostRun drained = run_host([&](const Exports& lib) {
        for (int i = 0; i < 500; ++i) {
            lib.query(c.c_str(), u";", u"select 1, 2", 30, utf16(path("d" + std::to_string(i))).c_str());
        }
        lib.deinit(true);
        return 0;
    });
    ASSERT_EQ(drained.exit_code, 0) << drained.output;
    for (int i = 0; i < 500; ++i) EXPECT_EQ(read_file(path("d" + std::to_string(i))), "1;2") << i;

    const HostRun stopped = run_host([&](const Exports& lib) {
        for (int i = 0; i < 500; ++i) {
            lib.query(c.c_str(), u";", u"select pg_sleep(0.01)", 30,
                      utf16(path("n" + std::to_string(i))).c_str());
        }
        lib.deinit(false);
        return 0;
    });
    ASSERT_EQ(stopped.exit_code, 0) << stopped.output;
    int written = 0;
    for (int i = 0; i < 500; ++i) written += file_exists(path("n" + std::to_string(i)));
    EXPECT_LT(written, 500) << "a stop without draining ran every waiting task";
}

TEST_F(HostEndToEnd, ManyHostThreadsEveryFileCorrect) {
    const std::u16string c = utf16(conninfo);
    constexpr int threads = 8;
    constexpr int per_thread = 2000;
    const HostRun run = run_host([&](const Exports& lib) {
        lib.init();
        std::atomic<int> refused{0};
        std::vector<std::thread> hosts;
        for (int t = 0; t < threads; ++t) {
            hosts.emplace_back([&, t] {
                for (int i = 0; i < per_thread; ++i) {
                    const std::string id = std::to_string(t) + "-" + std::to_string(i);
                    const std::u16string sql = utf16("select '" + id + "', " + std::to_string(i));
                    if (!lib.query(c.c_str(), u",", sql.c_str(), 30, utf16(path(id)).c_str())) ++refused;
                }
            });
        }
        for (std::thread& host : hosts) host.join();
        lib.deinit(true);
        return refused.load();
    }, 600);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    int wrong = 0;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < per_thread; ++i) {
            const std::string id = std::to_string(t) + "-" + std::to_string(i);
            wrong += read_file(path(id)) != id + "," + std::to_string(i);
        }
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace vantrel::test
