// Workers held by a server that accepts the connection and never answers (support/
// silent_listener.h, the platform's own loopback socket inside the scenario process): the
// queue's bound and length as a host meets them, and a silent host that delays only the worker
// that went to it. On every build, the Windows DLLs' under Wine too.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/host_checks.h"
#include "support/host_files.h"
#include "support/host_library.h"
#include "support/host_side.h"
#include "support/server_test.h"
#include "support/silent_listener.h"

#define T(literal) VANTREL_TEXT(literal)

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Text number(long value) { return text(std::to_string(value)); }

// A fixed wait of a scenario, stretched under slow emulation like the suite's own.
Clock::duration scaled(Clock::duration wait) { return wait * time_scale(); }

// Every worker takes a task to the silent server and blocks in its connection attempt: once
// the listener has every worker's connection, the queue is empty and the next tasks wait in it.
bool hold_every_worker(const Exports& lib, SilentListener& listener, const Text& conninfo, const Text& path) {
    const unsigned workers = library_workers();
    for (unsigned i = 0; i < workers; ++i) lib.exec(conninfo.c_str(), T("select 1"), 1, path.c_str());
    return listener.wait_for_clients(workers, std::chrono::duration_cast<std::chrono::milliseconds>(scaled(30s)));
}

// ---- Queue: the bound and length of the tasks waiting -----------------------------------

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

// dir. Exit 4: the workers did not all reach the silent server; 5: no bound at all; 6: a task
// was queued into a full queue.
VANTREL_SCENARIO(held_queue_full) {
    const Exports lib = load_library();
    SilentListener listener;
    const Text conninfo = text(listener.conninfo());
    const Text path = args.at(0) + T("held");
    const Text big = T("select 1 -- ") + Text(std::size_t{1} << 20, T('x'));
    if (!hold_every_worker(lib, listener, conninfo, path)) return 4;
    int accepted = 0;
    while (lib.exec(conninfo.c_str(), big.c_str(), 1, path.c_str())) {
        if (++accepted > 1000) return 5;
    }
    long refused = 1;
    // Wall-clock seconds, not scaled: the case counts the lines a second apart that they give.
    const auto flood_end = Clock::now() + 2500ms;
    while (Clock::now() < flood_end) {
        if (lib.exec(conninfo.c_str(), big.c_str(), 1, path.c_str())) return 6;
        ++refused;
    }
    // The refusals after the last line are reported by the next one, a second later.
    std::this_thread::sleep_for(1100ms);
    if (lib.exec(conninfo.c_str(), big.c_str(), 1, path.c_str())) return 6;
    ++refused;
    const bool query = lib.query(conninfo.c_str(), T(";"), big.c_str(), 1, path.c_str());
    print_figure("accepted", accepted);
    print_figure("refused", static_cast<double>(refused));
    listener.close();
    lib.deinit(false);
    return query ? 6 : 0;
}

using Queue = ServerTest;

// Workers held by a silent server, the queue filled with tasks of a mebibyte each: every
// further task is refused at once, and a host that keeps trying gets one line a second per
// export, each with the refusals since the one before, until the refusals are all reported.
TEST_F(Queue, RefusedWhileTheQueueIsFullWithOneLineASecond) {
    const HostRun run = run_scenario("held_queue_full", args());
    ASSERT_FALSE(run.timed_out) << run.output.substr(0, 4000);
    ASSERT_NE(run.exit_code, 4) << "the workers did not all reach the silent server\n" << run.output;
    ASSERT_NE(run.exit_code, 5) << "more than 1,000 tasks of 1 MiB were queued";
    ASSERT_EQ(run.exit_code, 0) << "a task was queued into a full queue\n" << run.output.substr(0, 4000);
    const double accepted = figure(run.output, "accepted");
    const double refused = figure(run.output, "refused");
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
    std::printf("%.0f tasks of 1 MiB queued; %.0f refusals reported in %zu lines\n", accepted, refused, lines.size());
}

// dir. Exit 4: the workers did not all reach the silent server.
VANTREL_SCENARIO(held_queue_length) {
    const Exports lib = load_library(Build::debug);
    SilentListener listener;
    const Text conninfo = text(listener.conninfo());
    const Text path = args.at(0) + T("busy");
    if (!hold_every_worker(lib, listener, conninfo, path)) return 4;
    for (int i = 0; i < 4; ++i) lib.exec(conninfo.c_str(), T("select 1"), 1, path.c_str());
    std::printf("MARK\n");
    std::fflush(stdout);
    lib.exec(conninfo.c_str(), T("select 1"), 1, path.c_str());
    listener.close();
    lib.deinit(false);
    return 0;
}

TEST_F(Queue, LogsTheNumberOfTasksWaiting) {
    const HostRun run = run_scenario("held_queue_length", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_NE(run.exit_code, 4) << "the workers did not all reach the silent server\n" << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::size_t mark = run.output.find("MARK");
    ASSERT_NE(mark, std::string::npos) << run.output;
    EXPECT_EQ(count_lines_with(run.output.substr(mark), "cVantrelExec(): Queue length is 4"), 1) << run.output;
}

// ---- SilentServer: a host that accepts and never answers ---------------------------------

// dir, conninfo. Exit 5: the silent host got no connection; 6: a task to the server did not
// arrive; 7: connect_timeout did not end the task at the silent host.
VANTREL_SCENARIO(held_first_connection) {
    const Text& dir = args.at(0);
    const Text& conninfo = args.at(1);
    const int tasks = static_cast<int>(3 * library_workers());
    const Exports lib = load_library();
    SilentListener silent;
    // The process's first session goes to the silent host.
    lib.exec(text(silent.conninfo()).c_str(), T("select 1"), 1, (dir + T("stuck")).c_str());
    if (!silent.wait_for_clients(1, std::chrono::duration_cast<std::chrono::milliseconds>(scaled(30s)))) return 5;
    const auto start = Clock::now();
    for (int i = 0; i < tasks; ++i) {
        lib.query(conninfo.c_str(), T(";"), (T("select ") + number(i)).c_str(), 30, (dir + number(i)).c_str());
    }
    int arrived = 0;
    for (int i = 0; i < tasks; ++i) arrived += wait_for_file(dir + number(i), start + scaled(60s));
    // With connect_timeout, as the README recommends, the silent host lets its worker go by
    // itself: two attempts (the new string's first, and the task's), 2 s each.
    const auto bounded_start = Clock::now();
    lib.exec(text(silent.conninfo() + " connect_timeout=2").c_str(), T("select 1"), 1, (dir + T("bounded")).c_str());
    const bool bounded = wait_for_file(dir + T("bounded"), bounded_start + scaled(30s));
    print_figure("bounded_seconds", std::chrono::duration<double>(Clock::now() - bounded_start).count());
    // Only now does the silent host let its first worker go.
    silent.close();
    lib.deinit(true);
    return arrived != tasks ? 6 : bounded ? 0 : 7;
}

using SilentServer = ServerTest;

// The process's first session goes to a host that accepts the connection and never answers:
// the other workers still open their sessions and run their tasks meanwhile.
TEST_F(SilentServer, SilentHostAtTheFirstConnectionDelaysOnlyItsWorker) {
    const int tasks = static_cast<int>(3 * library_workers());
    const HostRun run = run_scenario("held_first_connection", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_NE(run.exit_code, 5) << "the silent host got no connection\n" << run.output;
    ASSERT_NE(run.exit_code, 7) << "connect_timeout did not end the task at the silent host\n" << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    for (int i = 0; i < tasks; ++i) EXPECT_EQ(content(std::to_string(i)), std::to_string(i));
    EXPECT_TRUE(is_error_text(content("stuck"))) << content("stuck");
    const std::string bounded = content("bounded");
    EXPECT_TRUE(is_error_text(bounded) && bounded.find("timeout expired") != std::string::npos) << bounded;
    std::printf("silent host with connect_timeout=2: task ended after %.2f s\n", figure(run.output, "bounded_seconds"));
}

}  // namespace
}  // namespace vantrel::test
