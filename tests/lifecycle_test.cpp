// The host's brackets: the counter, the start and stop lines, the loader notices.

#include <gtest/gtest.h>

#include <thread>

#include "api/loader_notice.h"
#include "support/host_process.h"
#include "vantrel.h"

namespace vantrel::test {
namespace {


// Position of the first line holding needle, or npos.
std::size_t at(const std::string& output, const std::string& needle) { return output.find(needle); }

TEST(Lifecycle, CounterSequenceStartsOnceAndStopsOnce) {
    const HostRun run = run_linked([] {
        cVantrelInit();
        cVantrelInit();
        cVantrelDeinit(true);
        cVantrelDeinit(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "cVantrelInit(): Library inirialized"), 1);
    EXPECT_EQ(count_lines_with(run.output, "cVantrelDeinit(): Shutting down thread pool"), 1);
    const std::size_t one = at(run.output, "cVantrelInit(): REFERENCE_COUNTER is 1");
    const std::size_t two = at(run.output, "cVantrelInit(): REFERENCE_COUNTER is 2");
    const std::size_t back_to_one = at(run.output, "cVantrelDeinit(): REFERENCE_COUNTER is 1");
    const std::size_t zero = at(run.output, "cVantrelDeinit(): REFERENCE_COUNTER is 0");
    ASSERT_NE(zero, std::string::npos) << run.output;
    EXPECT_LT(one, two);
    EXPECT_LT(two, back_to_one);
    EXPECT_LT(back_to_one, zero);
    EXPECT_LT(zero, at(run.output, "cVantrelDeinit(): Shutting down thread pool"));
}

TEST(Lifecycle, StopAsFirstCallBuildsThePoolAndStopsIt) {
    const HostRun run = run_linked([] {
        cVantrelDeinit(false);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "cVantrelDeinit(): REFERENCE_COUNTER is -1"), 1);
    const int workers = static_cast<int>(library_workers());
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Staring worker"), workers);
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"), workers);
}

TEST(Lifecycle, StoppedIsFinalAndASecondStopReturns) {
    const HostRun run = run_linked([] {
        cVantrelInit();
        cVantrelDeinit(true);
        cVantrelInit();
        const bool refused = !cVantrelExec(u"host=/nonexistent", u"select 1", 1, u"/tmp/never");
        cVantrelDeinit(true);  // a second stop of the same pool
        cVantrelDeinit(false);
        return refused ? 0 : 3;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "cVantrelInit(): Library inirialized"), 2);
    EXPECT_EQ(count_lines_with(run.output, "cVantrelDeinit(): Shutting down thread pool"), 3);
    EXPECT_EQ(count_lines_with(run.output, "cVantrelExec(): Task enqueue FAILED"), 1);
    EXPECT_EQ(count_lines_with(run.output, "cVantrelDeinit(): REFERENCE_COUNTER is -1"), 1);
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Staring worker"),
              static_cast<int>(library_workers()));
    EXPECT_EQ(count_lines_with(run.output, "[error]"), 0) << run.output;
}

TEST(Lifecycle, ConcurrentStopsBothReturnAfterTheWorkersEnded) {
    const HostRun run = run_host([](const Exports& lib) {
        lib.init();
        std::thread first([&] { lib.deinit(true); });
        std::thread second([&] { lib.deinit(false); });
        first.join();
        second.join();
        return 0;
    }, 60);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "Shutting down thread pool"), 2);
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"),
              static_cast<int>(library_workers()));
}

TEST(Lifecycle, LoaderNoticesForTheFourReasonsOnly) {
    const HostRun run = run_linked([] {
        for (unsigned reason : {0u, 1u, 2u, 3u, 4u, 255u}) log_loader_notice(reason);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Process attach"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Thread attach"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Thread detach"), 1);
    // One from the call, one from the unload at the child's exit, after the logger survived.
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Process detach"), 2);
    EXPECT_EQ(count_lines_with(run.output, "DllMain()"), 5);
}

TEST(Lifecycle, DefaultLevelShowsOnlyTheInfoLines) {
    const HostRun run = run_host([](const Exports& lib) {
        lib.init();
        lib.deinit(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const int workers = static_cast<int>(library_workers());
    EXPECT_EQ(count_lines_with(run.output, "[info] cVantrelInit(): Library inirialized"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[info] cVantrelDeinit(): Shutting down thread pool"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[info] worker_function(): Staring worker"), workers);
    EXPECT_EQ(count_lines_with(run.output, "[info] worker_function(): Worker shutdown"), workers);
    EXPECT_EQ(count_lines_with(run.output, ""), 2 + 2 * workers) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug]"), 0);
}

TEST(Lifecycle, HostThatNeverStopsExitsCleanly) {
    const std::u16string path = utf16(make_temp_dir() + "/result.txt");
    const HostRun run = run_host([&](const Exports& lib) {
        lib.init();
        return lib.exec(u"host=/nonexistent", u"select 1", 1, path.c_str()) ? 0 : 5;
    }, 60);
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"),
              static_cast<int>(library_workers()));
}

}  // namespace
}  // namespace vantrel::test
