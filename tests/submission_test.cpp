// Submissions through the exports: how host arguments become a queued task.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

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

// The lines of one export's full-queue warning: when each was written (milliseconds into its
// day, from the log line's own time) and the refusals it reports.
struct FullQueueLine {
    long at_ms;
    long refused;
};
std::vector<FullQueueLine> full_queue_lines(const std::string& output, const std::string& export_name) {
    const std::regex line("\\[[0-9-]+ ([0-9]{2}):([0-9]{2}):([0-9]{2})\\.([0-9]{3})\\] \\[warning\\] " + export_name +
                          "\\(\\): Task queue FULL, ([0-9]+) refused since the last report");
    std::vector<FullQueueLine> lines;
    for (auto m = std::sregex_iterator(output.begin(), output.end(), line); m != std::sregex_iterator(); ++m) {
        const long at = ((std::stol((*m)[1]) * 60 + std::stol((*m)[2])) * 60 + std::stol((*m)[3])) * 1000 + std::stol((*m)[4]);
        lines.push_back({at, std::stol((*m)[5])});
    }
    return lines;
}

// Workers held by a silent server, the queue filled with tasks of a mebibyte each: every
// further task is refused at once, and a host that keeps trying gets one line a second per
// export, each with the refusals since the one before, until the refusals are all reported.
TEST(Submission, RefusedWhileTheQueueIsFullWithOneLineASecond) {
    const std::string dir = make_temp_dir();
    const HostRun run = run_host([&](const Exports& lib) {
        SilentListener listener;
        const std::u16string conninfo = utf16(listener.conninfo());
        const std::u16string path = utf16(dir + "/held");
        const std::u16string big = u"select 1 -- " + std::u16string(std::size_t{1} << 20, u'x');
        const unsigned workers = library_workers();
        for (unsigned i = 0; i < workers; ++i) lib.exec(conninfo.c_str(), u"select 1", 1, path.c_str());
        if (!listener.wait_for_clients(workers, std::chrono::seconds(30))) return 4;
        int accepted = 0;
        while (lib.exec(conninfo.c_str(), big.c_str(), 1, path.c_str())) {
            if (++accepted > 1000) return 5;  // no bound at all
        }
        long refused = 1;
        const auto flood_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
        while (std::chrono::steady_clock::now() < flood_end) {
            if (lib.exec(conninfo.c_str(), big.c_str(), 1, path.c_str())) return 6;
            ++refused;
        }
        // The refusals after the last line are reported by the next one, a second later.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        if (lib.exec(conninfo.c_str(), big.c_str(), 1, path.c_str())) return 6;
        ++refused;
        const bool query = lib.query(conninfo.c_str(), u";", big.c_str(), 1, path.c_str());
        std::printf("ACCEPTED %d REFUSED %ld\n", accepted, refused);
        std::fflush(stdout);
        listener.close();
        lib.deinit(false);
        return query ? 6 : 0;
    });
    ASSERT_NE(run.exit_code, 4) << "the workers did not all reach the silent server\n" << run.output;
    ASSERT_NE(run.exit_code, 5) << "more than 1,000 tasks of 1 MiB were queued";
    ASSERT_EQ(run.exit_code, 0) << "a task was queued into a full queue\n" << run.output;
    int accepted = 0;
    long refused = 0;
    ASSERT_EQ(std::sscanf(run.output.c_str() + run.output.find("ACCEPTED"), "ACCEPTED %d REFUSED %ld", &accepted, &refused), 2)
        << run.output;
    // 64 MiB of waiting tasks: the 65th mebibyte does not fit.
    EXPECT_EQ(accepted, 63);
    const std::vector<FullQueueLine> lines = full_queue_lines(run.output, "cVantrelExec");
    ASSERT_GE(lines.size(), 3u) << run.output.substr(0, 4000);
    long reported = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        reported += lines[i].refused;
        if (i == 0) continue;
        // A line's time is read as it is written, a little after the second was found over,
        // and a preempted writer may be late by more than the resolution of a millisecond.
        const long apart = (lines[i].at_ms - lines[i - 1].at_ms + 86400000) % 86400000;
        EXPECT_GE(apart, 900) << "lines " << i - 1 << " and " << i;
    }
    EXPECT_EQ(lines.front().refused, 1) << "the first refusal is reported at once";
    EXPECT_EQ(reported, refused);
    const std::vector<FullQueueLine> query_lines = full_queue_lines(run.output, "cVantrel");
    ASSERT_EQ(query_lines.size(), 1u) << "cVantrel counts its own refusals";
    EXPECT_EQ(query_lines.front().refused, 1);
    EXPECT_EQ(count_lines_with(run.output, "Task enqueue FAILED"), 0) << "a full queue is not the stop";
    EXPECT_EQ(count_lines_with(run.output, "Task rejected"), 0);
    std::printf("%d tasks of 1 MiB queued; %ld refusals reported in %zu lines\n", accepted, refused, lines.size());
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
