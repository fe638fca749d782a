// Load and soak: many host threads, many tasks, every outcome delivered and right; a flood that
// the queue's bound refuses while the host still has memory; valgrind's memcheck over a short
// run. What the host keeps in memory as tasks, rows and notifications pass is measured in
// tests/host/memory_test.cpp, on every build.

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "fault/fault_support.h"
#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/run_program.h"
#include "support/silent_listener.h"

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

// The address space this process has mapped, in MiB (the size RLIMIT_AS limits).
double address_space_mib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    statm >> pages;
    return static_cast<double>(pages) * sysconf(_SC_PAGESIZE) / (1 << 20);
}

// Whether the host can still get a block of bytes and touch every page of it.
bool can_allocate(std::size_t bytes) {
    void* block = std::malloc(bytes);
    if (block == nullptr) return false;
    std::memset(block, 1, bytes);
    std::free(block);
    return true;
}

// A 32-bit host's 2 GiB of address space, a server that accepts and never answers, and a host
// that submits as fast as it can: the queue refuses while the host can still allocate 64 MiB,
// and the host ends normally. connect_timeout bounds each worker's wait, so the stop at the end
// returns within it.
TEST(Flood, RefusedWhileAHostOfTwoGibibytesCanStillAllocate) {
    if (sanitized_build()) GTEST_SKIP() << "a sanitizer's shadow memory does not fit in 2 GiB of address space";
    const std::string dir = make_temp_dir();
    constexpr rlim_t address_space = rlim_t{2} << 30;
    const HostRun run = run_host([&](const Exports& lib) {
        ChildChecks checks;
        const rlimit limit{address_space, address_space};
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            std::printf("CHECK FAILED: setrlimit: %s\n", std::strerror(errno));
            return 1;
        }
        SilentListener silent;
        const std::u16string conninfo = utf16(silent.conninfo() + " connect_timeout=2");
        // A report host's statement, padded to 200 bytes, and a result path of 100 characters.
        std::u16string sql = u"select id, name, total from sale where day = current_date order by id /* ";
        sql.resize(197, u'x');
        sql += u" */";
        std::u16string path = utf16(dir + "/");
        path.resize(96, u'r');
        path += u".txt";
        const double space_before = address_space_mib();
        const std::size_t heap_before = mallinfo2().uordblks;
        long accepted = 0;
        // Past ten million, the bound does not hold: the issue measured 3.5-6.3 million to exhaustion.
        while (accepted < 10'000'000 && lib.query(conninfo.c_str(), u";", sql.c_str(), 30, path.c_str())) ++accepted;
        const double heap_mib = static_cast<double>(mallinfo2().uordblks - heap_before) / (1 << 20);
        const double space_at_refusal = address_space_mib();
        checks.expect(accepted < 10'000'000, "no refusal after ten million tasks");
        checks.expect(can_allocate(std::size_t{64} << 20), "the host cannot allocate 64 MiB after the first refusal");
        print_figure("accepted_before_refusal", static_cast<double>(accepted));
        print_figure("heap_growth_mib", heap_mib);
        print_figure("address_space_mib_before", space_before);
        print_figure("address_space_mib_at_refusal", space_at_refusal);
        lib.deinit(false);
        return checks.exit_code();
    }, 120);
    ASSERT_FALSE(run.timed_out) << run.output.substr(0, 4000);
    EXPECT_EQ(run.exit_code, 0) << run.output.substr(0, 4000);
    EXPECT_EQ(count_lines_with(run.output, "cVantrel(): Task queue FULL, 1 refused since the last report"), 1)
        << run.output.substr(0, 4000);
    EXPECT_EQ(count_lines_with(run.output, "Task rejected"), 0) << run.output.substr(0, 4000);
    const double accepted = figure(run.output, "accepted_before_refusal");
    const double heap = figure(run.output, "heap_growth_mib");
    std::printf("2 GiB address space, silent server: first refusal after %.0f tasks (%.1f MiB of heap, %.0f bytes "
                "a task); address space %.0f -> %.0f MiB\n",
                accepted, heap, heap * (1 << 20) / accepted, figure(run.output, "address_space_mib_before"),
                figure(run.output, "address_space_mib_at_refusal"));
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
