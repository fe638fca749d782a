// How host arguments become a queued task, where only Linux can look: the queue's length while
// every worker waits on a listener that never answers (support/silent_listener.h, a Linux
// socket in the forked child). The other submission cases are in tests/host/host_test.cpp,
// run by every build.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

#include "support/host_process.h"
#include "support/silent_listener.h"
#include "vantrel.h"

namespace vantrel::test {
namespace {

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
