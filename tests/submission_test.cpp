// How host arguments become a queued task, where only Linux can look: the queue's length while
// every worker waits on a listener that never answers (support/silent_listener.h, a Linux
// socket in the forked child). The other submission cases are in tests/host/host_test.cpp,
// run by every build.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "support/host_process.h"
#include "support/silent_listener.h"
#include "vantrel.h"

namespace vantrel::test {
namespace {

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
