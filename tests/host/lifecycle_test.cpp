// The host's brackets as every build meets them: the counter's start and stop lines, a stop
// as the first call, a stopped library that stays stopped, and the races of hosts that start,
// submit and stop from many threads at once. The tasks go to an unreachable server, so every
// one ends at once with libpq's connection error and no database is needed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/host_files.h"
#include "support/host_library.h"
#include "support/host_side.h"

#define T(literal) VANTREL_TEXT(literal)

namespace vantrel::test {
namespace {

const vantrel_char* const nowhere = T("host=/nonexistent-socket-dir");

// What libpq says of a session it could not open: on every build a line that starts so.
constexpr const char* connection_failed = "connection to server";

#if defined(_WIN32)
// Each scenario is a process of its own, and under Wine a process start and every file step
// cost a round trip to the wineserver: fewer repetitions of each race keep the stage's time.
constexpr int race_attempts = 3;
#else
constexpr int race_attempts = 8;
#endif

int workers() { return static_cast<int>(library_workers()); }

Text numbered(const Text& dir, const std::string& name) { return dir + text(name); }

// A fresh folder for one host's files, and its removal when the case passed.
class Lifecycle : public testing::Test {
protected:
    void SetUp() override { dir = make_temp_folder(); }
    void TearDown() override {
        if (!HasFailure()) remove_tree(dir);
    }
    Text fresh_folder(int attempt) {
        const Text folder = dir + T("a") + text(std::to_string(attempt)) + separator;
        make_dir(folder);
        return folder;
    }
    Text dir;
};

// ---- Lifecycle: the counter, the start and stop lines ---------------------------------------

VANTREL_SCENARIO(lifecycle_counted) {
    const Exports lib = load_library(Build::debug);
    lib.init();
    lib.init();
    lib.deinit(true);
    lib.deinit(true);
    return 0;
}

TEST_F(Lifecycle, CounterSequenceStartsOnceAndStopsOnce) {
    const HostRun run = run_scenario("lifecycle_counted", {});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::string& out = run.output;
    EXPECT_EQ(count_lines_with(out, "cVantrelInit(): Library inirialized"), 1);
    EXPECT_EQ(count_lines_with(out, "cVantrelDeinit(): Shutting down thread pool"), 1);
    const std::size_t one = out.find("cVantrelInit(): REFERENCE_COUNTER is 1");
    const std::size_t two = out.find("cVantrelInit(): REFERENCE_COUNTER is 2");
    const std::size_t back_to_one = out.find("cVantrelDeinit(): REFERENCE_COUNTER is 1");
    const std::size_t zero = out.find("cVantrelDeinit(): REFERENCE_COUNTER is 0");
    ASSERT_NE(zero, std::string::npos) << out;
    EXPECT_LT(one, two) << out;
    EXPECT_LT(two, back_to_one) << out;
    EXPECT_LT(back_to_one, zero) << out;
    EXPECT_LT(zero, out.find("cVantrelDeinit(): Shutting down thread pool")) << out;
}

VANTREL_SCENARIO(lifecycle_stop_first) {
    const Exports lib = load_library(Build::debug);
    lib.deinit(false);
    return 0;
}

TEST_F(Lifecycle, StopAsFirstCallBuildsThePoolAndStopsIt) {
    const HostRun run = run_scenario("lifecycle_stop_first", {});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "cVantrelDeinit(): REFERENCE_COUNTER is -1"), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Staring worker"), workers());
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"), workers());
}

VANTREL_SCENARIO(lifecycle_stopped_for_good) {
    const Exports lib = load_library(Build::debug);
    lib.init();
    lib.deinit(true);
    lib.init();
    const bool refused = !lib.exec(nowhere, T("select 1"), 1, (args.at(0) + T("never")).c_str());
    lib.deinit(true);  // a second stop of the same pool
    lib.deinit(false);
    return refused ? 0 : 3;
}

TEST_F(Lifecycle, StoppedIsFinalAndASecondStopReturns) {
    const HostRun run = run_scenario("lifecycle_stopped_for_good", {dir});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "cVantrelInit(): Library inirialized"), 2);
    EXPECT_EQ(count_lines_with(run.output, "cVantrelDeinit(): Shutting down thread pool"), 3);
    EXPECT_EQ(count_lines_with(run.output, "cVantrelExec(): Task enqueue FAILED"), 1);
    EXPECT_EQ(count_lines_with(run.output, "cVantrelDeinit(): REFERENCE_COUNTER is -1"), 1);
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Staring worker"), workers());
    EXPECT_EQ(count_lines_with(run.output, "[error]"), 0) << run.output;
    EXPECT_FALSE(file_exists(dir + T("never")));
}

VANTREL_SCENARIO(lifecycle_default_level) {
    const Exports lib = load_library();
    lib.init();
    lib.deinit(true);
    return 0;
}

TEST_F(Lifecycle, DefaultLevelShowsOnlyTheInfoLines) {
    const HostRun run = run_scenario("lifecycle_default_level", {});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[info] cVantrelInit(): Library inirialized"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[info] cVantrelDeinit(): Shutting down thread pool"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[info] worker_function(): Staring worker"), workers());
    EXPECT_EQ(count_lines_with(run.output, "[info] worker_function(): Worker shutdown"), workers());
    EXPECT_EQ(count_lines_with(run.output, ""), 2 + 2 * workers()) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug]"), 0);
}

// ---- Lifecycle races: many host threads at the brackets at once -----------------------------

// Releases every waiting thread at once, so that their next calls race.
class StartLine {
public:
    explicit StartLine(int runners) : waiting(runners) {}
    void wait() {
        --waiting;
        while (waiting.load() > 0) std::this_thread::yield();
    }

private:
    std::atomic<int> waiting;
};

constexpr int first_submitters = 32;

// The very first call of the load is a submission, made by many threads at once.
VANTREL_SCENARIO(lifecycle_first_submissions) {
    const Exports lib = load_library();
    StartLine start(first_submitters);
    std::atomic<int> refused{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < first_submitters; ++t) {
        hosts.emplace_back([&, t] {
            const Text path = numbered(args.at(0), std::to_string(t));
            start.wait();
            if (!lib.exec(nowhere, T("select 1"), 1, path.c_str())) ++refused;
        });
    }
    for (std::thread& host : hosts) host.join();
    lib.deinit(true);
    return refused.load();
}

TEST_F(Lifecycle, ManyThreadsMakingTheFirstSubmissionShareOnePool) {
    for (int attempt = 0; attempt < race_attempts; ++attempt) {
        SCOPED_TRACE(attempt);
        const Text folder = fresh_folder(attempt);
        const HostRun run = run_scenario("lifecycle_first_submissions", {folder}, 60);
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0) << "refused submissions: " << run.exit_code << "\n" << run.output;
        EXPECT_EQ(count_lines_with(run.output, "worker_function(): Staring worker"), workers()) << run.output;
        EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"), workers());
        for (int t = 0; t < first_submitters; ++t) {
            const std::string outcome = read_file(numbered(folder, std::to_string(t)));
            EXPECT_EQ(outcome.rfind(connection_failed, 0), 0u) << t << ": " << outcome;
        }
    }
}

constexpr int queued_before_stops = 300;

// Tasks queued, then two stops at once: args are the folder and each stop's drain ("1", "0").
// "STOPPED" is printed once both have returned, when no worker may still be writing.
VANTREL_SCENARIO(lifecycle_overlapping_stops) {
    const Exports lib = load_library();
    const bool drains[] = {args.at(1) == T("1"), args.at(2) == T("1")};
    lib.init();
    for (int i = 0; i < queued_before_stops; ++i) {
        lib.exec(nowhere, T("select 1"), 1, numbered(args.at(0), std::to_string(i)).c_str());
    }
    StartLine start(2);
    std::vector<std::thread> stops;
    for (const bool drain : drains) {
        stops.emplace_back([&, drain] {
            start.wait();
            lib.deinit(drain);
        });
    }
    for (std::thread& stop : stops) stop.join();
    std::printf("STOPPED\n");
    std::fflush(stdout);
    return 0;
}

TEST_F(Lifecycle, OverlappingStopsBothReturnAfterEveryWorkerEnded) {
    struct Pair {
        const char* first_drains;
        const char* second_drains;
    };
    int attempt = 0;
    for (const Pair pair : {Pair{"1", "1"}, Pair{"1", "0"}, Pair{"0", "0"}}) {
        const std::string label = std::string("drains ") + pair.first_drains + "/" + pair.second_drains;
        SCOPED_TRACE(label);
        for (int round = 0; round < race_attempts; ++round) {
            const Text folder = fresh_folder(attempt++);
            const HostRun run = run_scenario("lifecycle_overlapping_stops",
                                             {folder, text(pair.first_drains), text(pair.second_drains)}, 60);
            ASSERT_FALSE(run.timed_out) << "a stop never returned\n" << run.output;
            ASSERT_EQ(run.exit_code, 0) << run.output;
            const std::size_t stopped = run.output.find("STOPPED");
            ASSERT_NE(stopped, std::string::npos) << run.output;
            EXPECT_EQ(count_lines_with(run.output.substr(0, stopped), "worker_function(): Worker shutdown"), workers())
                << "a stop returned before every worker had ended";
            if (pair.first_drains == std::string("1") && pair.second_drains == std::string("1")) {
                int written = 0;
                for (int i = 0; i < queued_before_stops; ++i) written += file_exists(numbered(folder, std::to_string(i)));
                EXPECT_EQ(written, queued_before_stops) << "a draining stop dropped tasks";
            }
        }
    }
}

constexpr int racing_submitters = 4;
constexpr int per_submitter = 300;
constexpr int cyclers = 2;

// Submissions race init/deinit pairs; the host holds one use of the library until a quarter of
// them were made, so the final stop falls in the middle of the race, made by whichever deinit
// brings the count to zero. Each submission's answer goes to the folder's "ledger": a line per
// submitter, '1' for accepted.
VANTREL_SCENARIO(lifecycle_pairs_racing) {
    const Exports lib = load_library();
    const Text& dir = args.at(0);
    StartLine start(racing_submitters + cyclers);
    std::atomic<int> submitted{0};
    std::atomic<bool> released{false};
    std::vector<std::string> accepted(racing_submitters, std::string(per_submitter, '0'));
    lib.init();
    std::vector<std::thread> threads;
    for (int s = 0; s < racing_submitters; ++s) {
        threads.emplace_back([&, s] {
            start.wait();
            for (int i = 0; i < per_submitter; ++i) {
                const Text path = numbered(dir, std::to_string(s) + "-" + std::to_string(i));
                if (lib.exec(nowhere, T("select 1"), 1, path.c_str())) accepted[s][i] = '1';
                ++submitted;
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
    }
    for (int c = 0; c < cyclers; ++c) {
        threads.emplace_back([&] {
            start.wait();
            // Until the host lets go: pairs that overlapped for ever would hold the count above
            // zero until the last submission.
            for (int i = 0; i < 100000 && !released; ++i) {
                lib.init();
                lib.deinit(true);
            }
        });
    }
    while (submitted < racing_submitters * per_submitter / 4) std::this_thread::yield();
    released = true;
    lib.deinit(true);
    for (std::thread& thread : threads) thread.join();
    std::string ledger;
    for (const std::string& row : accepted) ledger += row + "\n";
    write_file(dir + T("ledger"), ledger);
    return 0;
}

TEST_F(Lifecycle, InitDeinitPairsRacingSubmissionsRunOrRefuseEachTask) {
    for (int attempt = 0; attempt < race_attempts; ++attempt) {
        SCOPED_TRACE(attempt);
        const Text folder = fresh_folder(attempt);
        const HostRun run = run_scenario("lifecycle_pairs_racing", {folder}, 120);
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0) << run.output;
        const std::string ledger = read_file(folder + T("ledger"));
        ASSERT_EQ(ledger.size(), static_cast<std::size_t>(racing_submitters * (per_submitter + 1))) << ledger;
        int ran = 0;
        int refused = 0;
        for (int s = 0; s < racing_submitters; ++s) {
            for (int i = 0; i < per_submitter; ++i) {
                const Text file = numbered(folder, std::to_string(s) + "-" + std::to_string(i));
                const bool accepted = ledger[s * (per_submitter + 1) + i] == '1';
                // Each submission either runs (its file appears) or returns false (no file).
                EXPECT_EQ(file_exists(file), accepted)
                    << "task " << s << "-" << i << (accepted ? " was accepted but never ran" : " was refused but ran");
                if (!accepted) {
                    ++refused;
                    continue;
                }
                ++ran;
                EXPECT_EQ(read_file(file).rfind(connection_failed, 0), 0u) << read_file(file);
            }
        }
        // The stop fell in the middle of the race, or the race tested nothing.
        EXPECT_GT(ran, 0) << "the stop came before any task ran";
        EXPECT_GT(refused, 0) << "the stop came after every submission";
        EXPECT_EQ(count_lines_with(run.output, "Task enqueue FAILED"), refused);
        EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"), workers());
        std::printf("race %d: %d tasks ran, %d refused\n", attempt, ran, refused);
    }
}

}  // namespace
}  // namespace vantrel::test
