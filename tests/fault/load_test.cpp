// Load and soak: many host threads, many tasks, every outcome delivered and right; memory
// that does not grow with the number of tasks; valgrind's memcheck over a short run.

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "fault/fault_support.h"
#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/run_program.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Result files live in memory (/dev/shm): the disk is not what these tests measure.
class Load : public testing::Test {
protected:
    void SetUp() override {
        conninfo = test_conninfo();
        if (conninfo.empty()) GTEST_SKIP() << "no test server";
        char name[] = "/dev/shm/vantrel-load-XXXXXX";
        if (mkdtemp(name) == nullptr) GTEST_SKIP() << "no /dev/shm";
        dir = name;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }

    std::string conninfo;
    std::string dir;
};

TEST_F(Load, SixteenHostThreadsEveryTaskDelivered) {
    constexpr int threads = 16;
    constexpr int per_thread = 100000 / threads;
    const std::u16string c = utf16(conninfo);
    const auto id = [](int t, int i) { return std::to_string(t) + "-" + std::to_string(i); };
    const HostRun run = run_host([&](const Exports& lib) {
        lib.init();
        std::atomic<int> refused{0};
        const auto start = Clock::now();
        std::vector<std::thread> hosts;
        for (int t = 0; t < threads; ++t) {
            hosts.emplace_back([&, t] {
                for (int i = 0; i < per_thread; ++i) {
                    const std::u16string file = utf16(dir + "/" + id(t, i));
                    bool ok;
                    // One in ten wants no rows.
                    if (i % 10 == 9) {
                        ok = lib.exec(c.c_str(), u"select 1", 30, file.c_str());
                    } else {
                        const std::u16string sql = utf16("select '" + id(t, i) + "', " + std::to_string(i));
                        ok = lib.query(c.c_str(), u",", sql.c_str(), 30, file.c_str());
                    }
                    if (!ok) ++refused;
                }
            });
        }
        for (std::thread& host : hosts) host.join();
        const double submitted = std::chrono::duration<double>(Clock::now() - start).count();
        lib.deinit(true);
        const double drained = std::chrono::duration<double>(Clock::now() - start).count();
        print_figure("submit_seconds", submitted);
        print_figure("total_seconds", drained);
        return refused.load();
    }, 900);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0) << "refused submissions: " << run.exit_code;
    int missing = 0;
    int wrong = 0;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < per_thread; ++i) {
            const std::string file = dir + "/" + id(t, i);
            if (!file_exists(file)) {
                ++missing;
                continue;
            }
            const std::string expected = i % 10 == 9 ? "TRUE" : id(t, i) + "," + std::to_string(i);
            if (read_file(file) != expected) ++wrong;
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(temporary_files(dir).empty());
    const double total = figure(run.output, "total_seconds");
    std::printf("%d tasks from %d host threads: %d missing, %d wrong, %.1f s (%.0f tasks/s)\n",
                threads * per_thread, threads, missing, wrong, total, threads * per_thread / total);
}

// Growth per task, not the allocator's high-water mark after a burst: each host thread keeps
// at most one batch in flight, so the queue's peak is the same in every round. Heap bytes in
// use (mallinfo2) are measured beside the resident size.
TEST_F(Load, ResidentMemoryDoesNotGrowWithTasks) {
    if (sanitized_build()) GTEST_SKIP() << "a sanitizer's allocator keeps freed memory on purpose";
    constexpr int rounds = 20;
    constexpr int per_round = 10000;
    constexpr int threads = 4;
    constexpr int batch = 50;
    const std::u16string c = utf16(conninfo);
    const HostRun run = run_host([&](const Exports& lib) {
        ChildChecks checks;
        lib.init();
        for (int round = 1; round <= rounds; ++round) {
            const std::string tag = std::to_string(round);
            std::atomic<int> wrong{0};
            std::atomic<int> missing{0};
            std::vector<std::thread> hosts;
            for (int t = 0; t < threads; ++t) {
                hosts.emplace_back([&, t] {
                    for (int first = 0; first < per_round / threads; first += batch) {
                        const auto file = [&](int k) { return dir + "/" + std::to_string(t) + "-" + std::to_string(k); };
                        for (int k = first; k < first + batch; ++k) {
                            const std::u16string sql = utf16("select '" + tag + "', " + std::to_string(k));
                            lib.query(c.c_str(), u";", sql.c_str(), 30, utf16(file(k)).c_str());
                        }
                        // A path is free for the next task once its outcome has arrived.
                        for (int k = first; k < first + batch; ++k) {
                            if (!wait_for_file(file(k), Clock::now() + 120s)) ++missing;
                            wrong += read_file(file(k)) != tag + ";" + std::to_string(k);
                            unlink(file(k).c_str());
                        }
                    }
                });
            }
            for (std::thread& host : hosts) host.join();
            checks.expect(missing == 0 && wrong == 0, "round " + tag + ": " + std::to_string(missing) +
                                                          " missing, " + std::to_string(wrong) + " wrong");
            print_figure("rss_round_" + tag, resident_kib());
            print_figure("heap_round_" + tag, mallinfo2().uordblks / 1024.0);
        }
        lib.deinit(true);
        return checks.exit_code();
    }, 900);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    std::string series;
    for (int round = 1; round <= rounds; ++round) {
        series += " " + std::to_string(static_cast<long>(figure(run.output, "rss_round_" + std::to_string(round)))) +
                  "/" + std::to_string(static_cast<long>(figure(run.output, "heap_round_" + std::to_string(round))));
    }
    const double early = figure(run.output, "rss_round_2");
    const double late = figure(run.output, "rss_round_20");
    const double heap_early = figure(run.output, "heap_round_2");
    const double heap_late = figure(run.output, "heap_round_20");
    EXPECT_LE(late, early * 1.10) << "KiB resident/heap in use after each 10,000 tasks:" << series;
    EXPECT_LE(heap_late, heap_early * 1.10) << "KiB resident/heap in use after each 10,000 tasks:" << series;
    std::printf("after 20,000 and 200,000 tasks: resident %.0f -> %.0f KiB (%+.1f%%), heap in use %.0f -> %.0f KiB\n",
                early, late, 100.0 * (late - early) / early, heap_early, heap_late);
}

TEST_F(Load, ValgrindMemcheckReportsNothingFromAShortRun) {
    if (sanitized_build()) GTEST_SKIP() << "valgrind cannot run a sanitized build";
    if (!on_path("valgrind")) GTEST_SKIP() << "valgrind is not installed (Debian package valgrind)";
    const std::string log = dir + "/valgrind.log";
    const auto start = Clock::now();
    const int status = run_program(
        {"valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
         "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=97", "--num-callers=30",
         "--log-file=" + log, VANTREL_MEMCHECK_HOST, VANTREL_LIBRARY_PATH, conninfo, dir},
        {dir + "/host.out", true});
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string report = read_file(log);
    ASSERT_NE(status, -1) << "valgrind ended by a signal\n" << report;
    EXPECT_EQ(status, 0) << read_file(dir + "/host.out") << report;
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << report;
    const std::regex lost("(definitely|indirectly|possibly) lost: ([0-9,]+) bytes");
    for (auto match = std::sregex_iterator(report.begin(), report.end(), lost); match != std::sregex_iterator(); ++match) {
        EXPECT_EQ((*match)[2].str(), "0") << (*match)[0].str() << "\n" << report;
    }
    std::printf("valgrind memcheck, 106 tasks: exit %d in %.1f s\n", status, seconds);
}

}  // namespace
}  // namespace vantrel::test
