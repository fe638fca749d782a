// Submissions through the exports: how host arguments become a queued task.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/silent_listener.h"
#include "vantrel.h"

namespace vantrel::test {
namespace {

const char16_t* const unreachable = u"host=/nonexistent-socket-dir";

// The worker's line shows the task as it left the queue: moved through it, every member arrives.
TEST(Submission, ArgumentsBecomeTheTaskInTheirOrderAndReachTheWorkerWhole) {
    const std::string dir = make_temp_dir();
    const std::u16string path = utf16(dir + "/out.txt");
    const HostRun run = run_linked([&] {
        const bool queried = cVantrel(unreachable, u",", u"select 1", 30, path.c_str());
        const bool executed = cVantrelExec(unreachable, u"delete from t", -5, path.c_str());
        cVantrelDeinit(true);
        return queried && executed ? 0 : 3;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::string query_task = "{\"query\":\"select 1\", \"path\":\"" + dir +
                                   "/out.txt\", \"sep\":\",\", \"time\":\"30\", \"drop\":\"False\"}";
    const std::string exec_task = "{\"query\":\"delete from t\", \"path\":\"" + dir +
                                  "/out.txt\", \"sep\":\"\", \"time\":\"-5\", \"drop\":\"True\"}";
    EXPECT_EQ(count_lines_with(run.output, "[debug] cVantrel(): Enqueue task " + query_task), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] cVantrelExec(): Enqueue task " + exec_task), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] worker_function(): Dequeue task " + query_task), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] worker_function(): Dequeue task " + exec_task), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] cVantrel(): Queue length is "), 1);
    EXPECT_EQ(count_lines_with(run.output, "[debug] cVantrelExec(): Queue length is "), 1);
    // The connection string, which the lines leave out, reached the worker's session.
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Creating connection to host=/nonexistent-socket-dir"), 2);
}

TEST(Submission, NonAsciiArgumentsArriveAsUtf8) {
    const std::string dir = make_temp_dir();
    const std::string name = "/\xd0\xb6\xd1\x83\xd0\xba\xf0\x9f\x98\x80.txt";  // Cyrillic + U+1F600
    const std::u16string path = utf16(dir + name);
    const HostRun run = run_linked([&] {
        const bool ok = cVantrel(u"host=/nonexistent application_name=\u0416", u"\u20ac",
                                 u"select '\U0001F600'", 1, path.c_str());
        cVantrelDeinit(true);
        return ok ? 0 : 3;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "Enqueue task {\"query\":\"select '\xf0\x9f\x98\x80'\", \"path\":\"" +
                                               dir + name + "\", \"sep\":\"\xe2\x82\xac\""),
              1)
        << run.output;
    EXPECT_EQ(count_lines_with(run.output,
                               "Connection constructed: host=/nonexistent application_name=\xd0\x96"),
              1);
    // The worker opened the file by the path's own characters.
    EXPECT_TRUE(file_exists(dir + name));
}

struct BadCall {
    const char* what;
    std::function<bool()> call;
};

TEST(Submission, IllFormedOrNullArgumentsAreRejectedBeforeAnythingIsQueued) {
    const char16_t bad[] = {u'x', 0xD800, u'y', 0};      // high surrogate before an ordinary unit
    const char16_t lone_low[] = {0xDC00, 0};
    const char16_t trailing_high[] = {u'a', 0xDBFF, 0};
    const char16_t* p = u"/tmp/vantrel-never-written";
    const BadCall calls[] = {
        {"bad conversion", [&] { return cVantrel(bad, u";", u"select 1", 1, p); }},
        {"bad conversion", [&] { return cVantrel(unreachable, lone_low, u"select 1", 1, p); }},
        {"bad conversion", [&] { return cVantrel(unreachable, u";", trailing_high, 1, p); }},
        {"bad conversion", [&] { return cVantrel(unreachable, u";", u"select 1", 1, bad); }},
        {"bad conversion", [&] { return cVantrelExec(lone_low, u"select 1", 1, p); }},
        {"bad conversion", [&] { return cVantrelExec(unreachable, bad, 1, p); }},
        {"bad conversion", [&] { return cVantrelExec(unreachable, u"select 1", 1, trailing_high); }},
        {"null argument", [&] { return cVantrel(nullptr, u";", u"select 1", 1, p); }},
        {"null argument", [&] { return cVantrel(unreachable, nullptr, u"select 1", 1, p); }},
        {"null argument", [&] { return cVantrel(unreachable, u";", nullptr, 1, p); }},
        {"null argument", [&] { return cVantrel(unreachable, u";", u"select 1", 1, nullptr); }},
        {"null argument", [&] { return cVantrelExec(nullptr, u"select 1", 1, p); }},
        {"null argument", [&] { return cVantrelExec(unreachable, nullptr, 1, p); }},
        {"null argument", [&] { return cVantrelExec(unreachable, u"select 1", 1, nullptr); }},
    };
    for (const BadCall& bad_call : calls) {
        const HostRun run = run_linked([&] { return bad_call.call() ? 3 : 0; });
        ASSERT_EQ(run.exit_code, 0) << "accepted a call that should fail: " << bad_call.what;
        EXPECT_EQ(count_lines_with(run.output, std::string("(): Task rejected: ") + bad_call.what), 1)
            << run.output;
        EXPECT_EQ(count_lines_with(run.output, "[error]"), 1);
        EXPECT_EQ(count_lines_with(run.output, "Enqueue task"), 0);
        EXPECT_EQ(count_lines_with(run.output, "Staring worker"), 0) << "the pool was built";
    }
    EXPECT_FALSE(file_exists("/tmp/vantrel-never-written"));
}

// An empty connection string would leave libpq to read PGHOST and the like from the
// environment: the empty texts here are the separator and the statement, sent to the test server.
TEST(Submission, EmptyStringsAndAnyTimeAreAccepted) {
    VANTREL_REQUIRE_SERVER();
    const std::string dir = make_temp_dir();
    const std::u16string path = utf16(dir + "/r");
    const std::u16string server = utf16(test_conninfo());
    const HostRun run = run_host([&](const Exports& lib) {
        const bool all = lib.query(server.c_str(), u"", u"", 0, path.c_str()) &&
                         lib.exec(server.c_str(), u"", INT32_MIN, path.c_str()) &&
                         lib.query(unreachable, u";", u"select 1", INT32_MAX, path.c_str()) &&
                         lib.exec(unreachable, u"select 1", -1, u"");
        lib.deinit(false);
        return all ? 0 : 3;
    });
    EXPECT_EQ(run.exit_code, 0) << run.output;
}

TEST(Submission, RefusedAfterTheStopWithTheWarnLine) {
    const std::string dir = make_temp_dir();
    const std::u16string path = utf16(dir + "/late.txt");
    const HostRun run = run_host([&](const Exports& lib) {
        lib.init();
        lib.deinit(true);
        const bool query = lib.query(unreachable, u";", u"select 1", 1, path.c_str());
        const bool exec = lib.exec(unreachable, u"select 1", 1, path.c_str());
        return !query && !exec ? 0 : 3;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[warning] cVantrel(): Task enqueue FAILED"), 1)
        << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[warning] cVantrelExec(): Task enqueue FAILED"), 1);
    EXPECT_FALSE(file_exists(dir + "/late.txt"));
}

TEST(Submission, LogsTheNumberOfTasksWaiting) {
    const std::string dir = make_temp_dir();
    const HostRun run = run_linked([&] {
        SilentListener listener;
        const std::u16string conninfo = utf16(listener.conninfo());
        const std::u16string path = utf16(dir + "/busy");
        const unsigned workers = library_workers();
        // Every worker takes a task and blocks on the silent server: once it has every worker's
        // connection, the queue is empty and the next tasks wait in it.
        for (unsigned i = 0; i < workers; ++i) cVantrelExec(conninfo.c_str(), u"select 1", 1, path.c_str());
        if (!listener.wait_for_clients(workers, std::chrono::seconds(30))) return 4;
        for (int i = 0; i < 4; ++i) cVantrelExec(conninfo.c_str(), u"select 1", 1, path.c_str());
        std::printf("MARK\n");
        std::fflush(stdout);
        cVantrelExec(conninfo.c_str(), u"select 1", 1, path.c_str());
        listener.close();
        cVantrelDeinit(false);
        return 0;
    });
    ASSERT_NE(run.exit_code, 4) << "the workers did not all reach the silent server\n" << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::string after_mark = run.output.substr(run.output.find("MARK"));
    EXPECT_EQ(count_lines_with(after_mark, "cVantrelExec(): Queue length is 4"), 1) << run.output;
}

}  // namespace
}  // namespace vantrel::test
