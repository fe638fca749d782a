// The library's log under concurrent writers: its connection lines stay whole while host
// threads log through the same logger, which only the library's objects linked into this
// program can share. The races at the brackets are in tests/host/lifecycle_test.cpp.

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "support/host_process.h"
#include "vantrel.h"

#include <spdlog/spdlog.h>

namespace vantrel::test {
namespace {

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
