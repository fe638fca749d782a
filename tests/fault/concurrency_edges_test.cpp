// The library's edges under concurrent hosts: the very first submission made by many threads
// at once, stops that overlap, and init/deinit pairs racing with submissions. Each race runs
// in several fresh hosts, since a loaded library's stop is final. Tasks go to an unreachable
// server: every one ends at once with libpq's connection error, no database needed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "fault/fault_support.h"
#include "support/host_process.h"
#include "vantrel.h"

#include <spdlog/spdlog.h>

namespace vantrel::test {
namespace {

const char16_t* const unreachable = u"host=/nonexistent-socket-dir";
constexpr const char* unreachable_outcome = "connection to server on socket";

// Releases every waiting thread at once, so their next calls race.
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


TEST(ConcurrencyEdges, ManyThreadsMakingTheFirstSubmissionShareOnePool) {
    constexpr int threads = 32;
    constexpr int attempts = 8;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const std::string dir = make_temp_dir();
        const HostRun run = run_host([&](const Exports& lib) {
            StartLine start(threads);
            std::atomic<int> refused{0};
            std::vector<std::thread> hosts;
            for (int t = 0; t < threads; ++t) {
                hosts.emplace_back([&, t] {
                    const std::u16string path = utf16(dir + "/" + std::to_string(t));
                    start.wait();
                    if (!lib.exec(unreachable, u"select 1", 1, path.c_str())) ++refused;
                });
            }
            for (std::thread& host : hosts) host.join();
            lib.deinit(true);
            return refused.load();
        }, 60);
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0) << run.output;
        EXPECT_EQ(count_lines_with(run.output, "worker_function(): Staring worker"), static_cast<int>(library_workers()));
        EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"), static_cast<int>(library_workers()));
        for (int t = 0; t < threads; ++t) {
            EXPECT_EQ(read_file(dir + "/" + std::to_string(t)).rfind(unreachable_outcome, 0), 0u) << t;
        }
    }
}

TEST(ConcurrencyEdges, OverlappingStopsBothReturnAfterEveryWorkerEnded) {
    struct Pair {
        bool first_drains;
        bool second_drains;
    };
    constexpr int tasks = 300;
    for (const Pair pair : {Pair{true, true}, Pair{true, false}, Pair{false, false}}) {
        for (int attempt = 0; attempt < 6; ++attempt) {
            const std::string dir = make_temp_dir();
            const HostRun run = run_host([&](const Exports& lib) {
                lib.init();
                for (int i = 0; i < tasks; ++i) {
                    lib.exec(unreachable, u"select 1", 1, utf16(dir + "/" + std::to_string(i)).c_str());
                }
                StartLine start(2);
                std::thread first([&] {
                    start.wait();
                    lib.deinit(pair.first_drains);
                });
                std::thread second([&] {
                    start.wait();
                    lib.deinit(pair.second_drains);
                });
                first.join();
                second.join();
                // Both have returned: no worker may still be writing.
                std::printf("STOPPED\n");
                std::fflush(stdout);
                return 0;
            }, 60);
            const std::string label = std::string("drains ") + (pair.first_drains ? "yes" : "no") + "/" +
                                      (pair.second_drains ? "yes" : "no");
            ASSERT_FALSE(run.timed_out) << label << ": a stop never returned";
            ASSERT_EQ(run.exit_code, 0) << label << run.output;
            const std::string before_return = run.output.substr(0, run.output.find("STOPPED"));
            EXPECT_EQ(count_lines_with(before_return, "worker_function(): Worker shutdown"), static_cast<int>(library_workers()))
                << label << ": a stop returned before every worker had ended";
            if (pair.first_drains && pair.second_drains) {
                int written = 0;
                for (int i = 0; i < tasks; ++i) written += file_exists(dir + "/" + std::to_string(i));
                EXPECT_EQ(written, tasks) << label << ": a draining stop dropped tasks";
            }
        }
    }
}

// Each submission either runs (its file appears) or returns false (no file), never both and
// never neither. The host holds one use of the library until submissions flow, so the final
// stop falls in the middle of the race, made by whichever deinit brings the count to zero.
TEST(ConcurrencyEdges, InitDeinitPairsRacingSubmissionsRunOrRefuseEachTask) {
    constexpr int submitters = 4;
    constexpr int per_submitter = 300;
    constexpr int cyclers = 2;
    constexpr int max_pairs = 100000;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string dir = make_temp_dir();
        const HostRun run = run_host([&](const Exports& lib) {
            StartLine start(submitters + cyclers);
            std::atomic<int> submitted{0};
            std::atomic<bool> released{false};
            std::vector<std::vector<char>> accepted(submitters, std::vector<char>(per_submitter));
            lib.init();
            std::vector<std::thread> threads;
            for (int s = 0; s < submitters; ++s) {
                threads.emplace_back([&, s] {
                    start.wait();
                    for (int i = 0; i < per_submitter; ++i) {
                        const std::u16string path = utf16(dir + "/" + std::to_string(s) + "-" + std::to_string(i));
                        accepted[s][i] = lib.exec(unreachable, u"select 1", 1, path.c_str());
                        ++submitted;
                        std::this_thread::sleep_for(std::chrono::microseconds(50));
                    }
                });
            }
            for (int c = 0; c < cyclers; ++c) {
                threads.emplace_back([&] {
                    start.wait();
                    // Until the host lets go: pairs that overlapped for ever would hold the
                    // count above zero until the last submission.
                    for (int i = 0; i < max_pairs && !released; ++i) {
                        lib.init();
                        lib.deinit(true);
                    }
                });
            }
            while (submitted < submitters * per_submitter / 4) std::this_thread::yield();
            released = true;
            lib.deinit(true);
            for (std::thread& thread : threads) thread.join();
            std::ofstream ledger(dir + "/ledger");
            for (const auto& row : accepted) {
                for (const char ok : row) ledger << (ok ? '1' : '0');
                ledger << "\n";
            }
            return 0;
        }, 60);
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0) << run.output;
        std::ifstream ledger(dir + "/ledger");
        int ran = 0;
        int refused = 0;
        for (int s = 0; s < submitters; ++s) {
            std::string row;
            std::getline(ledger, row);
            ASSERT_EQ(row.size(), static_cast<std::size_t>(per_submitter));
            for (int i = 0; i < per_submitter; ++i) {
                const std::string file = dir + "/" + std::to_string(s) + "-" + std::to_string(i);
                const bool accepted = row[i] == '1';
                EXPECT_EQ(file_exists(file), accepted)
                    << "task " << s << "-" << i << (accepted ? " was accepted but never ran" : " was refused but ran");
                if (accepted) {
                    ++ran;
                    EXPECT_EQ(read_file(file).rfind(unreachable_outcome, 0), 0u);
                } else {
                    ++refused;
                }
            }
        }
        // The stop fell in the middle of the race, or the race tested nothing.
        EXPECT_GT(ran, 0) << "the stop came before any task ran";
        EXPECT_GT(refused, 0) << "the stop came after every submission";
        EXPECT_EQ(count_lines_with(run.output, "Task enqueue FAILED"), refused);
        EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"), static_cast<int>(library_workers()));
        std::printf("race %d: %d tasks ran, %d refused\n", attempt, ran, refused);
    }
}

// Workers print their connection lines while host threads log: every line stays whole. Each
// is one write call to standard output, which is not a terminal here, so the log does not
// colour its lines either (on a terminal it writes them in pieces, see connection.cpp).
TEST(ConcurrencyEdges, ConnectionLinesStayWholeWhileOtherThreadsLog) {
    constexpr int connections = 400;
    const std::string dir = make_temp_dir();
    const HostRun run = run_linked([&] {
        spdlog::set_level(spdlog::level::info);
        std::atomic<bool> done{false};
        std::vector<std::thread> chatter;
        for (int t = 0; t < 2; ++t) {
            chatter.emplace_back([&, t] {
                for (int i = 0; i < 1000000 && !done; ++i) spdlog::info("host chatter {} {}", t, i);
            });
        }
        for (int i = 0; i < connections; ++i) {
            const std::u16string conninfo = utf16("host=/nonexistent-socket-dir application_name=c" + std::to_string(i));
            cVantrelExec(conninfo.c_str(), u"select 1", 1, utf16(dir + "/r" + std::to_string(i)).c_str());
        }
        cVantrelDeinit(true);
        done = true;
        for (std::thread& thread : chatter) thread.join();
        return 0;
    }, 120);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0) << run.output.substr(0, 4000);
    const std::regex log_line(R"(\[[0-9-]+ [0-9:.]+\] \[info\] (host chatter \d \d+|worker_function\(\): )"
                              R"((Staring worker|Worker shutdown)|cVantrelDeinit\(\): Shutting down thread pool))");
    const std::regex constructed(R"(Connection constructed: host=/nonexistent-socket-dir application_name=c\d+)");
    std::set<std::string> sessions;
    int destructed = 0;
    int chatter = 0;
    std::vector<std::string> broken;
    std::istringstream output(run.output);
    for (std::string line; std::getline(output, line);) {
        if (line == "Connection destructed.") {
            ++destructed;
        } else if (std::regex_match(line, constructed)) {
            sessions.insert(line);
        } else if (std::regex_match(line, log_line)) {
            chatter += line.find("host chatter") != std::string::npos;
        } else {
            broken.push_back(line);
        }
    }
    EXPECT_TRUE(broken.empty()) << broken.size() << " lines split or joined, first: '" << broken.front() << "'";
    EXPECT_EQ(static_cast<int>(sessions.size()), connections);
    EXPECT_EQ(destructed, connections);
    EXPECT_GT(chatter, 0) << "the log was quiet meanwhile";
    std::printf("%d connection lines and %d log lines, %zu broken\n", 2 * connections, chatter, broken.size());
}

}  // namespace
}  // namespace vantrel::test
