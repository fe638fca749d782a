// vantrel.dll as a Windows host uses it: loaded with LoadLibraryW, called through
// GetProcAddress with wchar_t strings, outcomes read back byte for byte from the result files,
// against the throwaway server. Every scenario runs in a fresh process, since a stopped
// library stays stopped for the life of its load.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "support/win_host.h"

namespace vantrel::wintest {
namespace {

const std::wstring library = L"vantrel.dll";
// The library's objects with the log level raised to debug before the loader's first notice.
const std::wstring debug_library = L"vantrel_debug.dll";

bool wait_for_file(const std::wstring& path, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!file_exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// ---- Outcomes: one statement per file, every outcome form -------------------------------

// Folder names with Cyrillic letters and a character outside the Basic Multilingual Plane
// (U+1F600, a surrogate pair in UTF-16).
const std::wstring exotic_dir = L"\u041e\u0442\u0447\u0451\u0442\u044b-\U0001F600";
const std::wstring exotic_file = exotic_dir + L"\\\u0438\u0442\u043e\u0433 \U0001F600.csv";

struct OutcomeCase {
    std::wstring file;  // relative to the run's folder
    const wchar_t* sep; // nullptr: cVantrelExec
    const wchar_t* sql;
    std::int32_t time;
    std::string expected;
    bool whole;  // false: expected is only the beginning of the file
};

const std::vector<OutcomeCase>& outcome_cases() {
    static const std::vector<OutcomeCase> cases = {
        {L"rows.txt", L";", L"select 1, 'a' union all select 2, 'b' order by 1", 30, "1;a\r\n2;b", true},
        {L"exec.txt", nullptr, L"create temporary table scratch(x int)", 30, "TRUE", true},
        {L"error.txt", L";", L"select * from no_such_table", 30,
         "ERROR:  relation \"no_such_table\" does not exist\r\n", false},
        {L"exec-error.txt", nullptr, L"drop table no_such_table", 30,
         "ERROR:  table \"no_such_table\" does not exist", false},
        {L"timeout.txt", L";", L"select 1", -1, "ERROR: Failed to set timeout: ERROR:  ", false},
        {L"empty.txt", L";", L"select 1 where false", 30, "", true},
        {L"null-and-wide-sep.txt", L" | ", L"select 'x', null, 'y'", 30, "x |  | y", true},
        {L"cr-in-value.txt", L";", L"select E'a\\r\\nb'", 30, "a\r\r\nb", true},
        {L"text.txt", L";", L"select '\u043f\u0440\u0438\u0432\u0435\u0442 \U0001F600'", 30,
         u8"\u043f\u0440\u0438\u0432\u0435\u0442 \U0001F600", true},
        {exotic_file, L";", L"select 'exotic'", 30, "exotic", true},
    };
    return cases;
}

const std::wstring unwritable = L"missing-dir\\x.txt";

VANTREL_SCENARIO(outcomes) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    lib.init();
    bool queued = true;
    for (const OutcomeCase& c : outcome_cases()) {
        const std::wstring path = dir + c.file;
        queued &= c.sep != nullptr
                      ? lib.query(conninfo.c_str(), c.sep, c.sql, c.time, path.c_str())
                      : lib.exec(conninfo.c_str(), c.sql, c.time, path.c_str());
    }
    queued &= lib.exec(conninfo.c_str(), L"select 1", 30, (dir + unwritable).c_str());
    lib.deinit(true);
    return queued ? 0 : 3;
}

class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        conninfo = test_conninfo();
        ASSERT_FALSE(conninfo.empty())
            << "no test server: set VANTREL_TEST_CONNINFO or VANTREL_TEST_PG_DIR";
        dir = make_temp_dir();
    }
    void TearDown() override {
        if (!HasFailure() && !dir.empty()) remove_tree(dir);
    }
    Args args() const { return {dir, widen(conninfo)}; }

    std::string conninfo;
    std::wstring dir;
};

using Outcomes = ServerTest;

TEST_F(Outcomes, EveryFormReachesItsFileByteForByte) {
    ASSERT_TRUE(CreateDirectoryW((dir + exotic_dir).c_str(), nullptr));
    const HostRun run = run_scenario("outcomes", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0u) << run.output;
    for (const OutcomeCase& c : outcome_cases()) {
        SCOPED_TRACE(narrow(c.file));
        ASSERT_TRUE(file_exists(dir + c.file));
        const std::string content = read_file(dir + c.file);
        if (c.whole) {
            EXPECT_EQ(content, c.expected);
        } else {
            EXPECT_EQ(content.substr(0, c.expected.size()), c.expected) << content;
        }
    }
    // The failed write is logged with the path and the system's reason, and leaves nothing.
    EXPECT_FALSE(file_exists(dir + unwritable));
    EXPECT_EQ(count_lines_with(run.output, "[error] worker_function(): Can`t write results to file \"" +
                                               narrow(dir + unwritable) + "\": CreateFileW: "),
              1)
        << run.output;
    EXPECT_TRUE(names_starting_with(dir, L".vantrel-").empty());
    EXPECT_TRUE(names_starting_with(dir + exotic_dir, L".vantrel-").empty());
}

// ---- Files: what stands at the target path before the outcome arrives -------------------

const std::string old_content = "a much longer previous content that must vanish entirely\r\n";

struct TargetCase {
    const wchar_t* file;
    bool exists;           // the file is there before the run, holding old_content
    bool held;             // another process (this test) keeps it open during the run
    DWORD share;           // that handle's share mode
    bool outcome_arrives;  // "TRUE" replaces the old content; otherwise it stays
};

const TargetCase target_cases[] = {
    {L"new.txt", false, false, 0, true},
    {L"existing.txt", true, false, 0, true},
    {L"held-sharing-delete.txt", true, true, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
    // No FILE_SHARE_DELETE: the rename is refused and the file is written in place.
    {L"held-sharing-write.txt", true, true, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
    // Nothing shared: neither way works; the old content stays and the failure is logged.
    {L"held-exclusively.txt", true, true, 0, false},
};

VANTREL_SCENARIO(targets) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    bool queued = true;
    for (const TargetCase& c : target_cases) {
        queued &= lib.exec(conninfo.c_str(), L"select 1", 30, (dir + c.file).c_str());
    }
    lib.deinit(true);
    return queued ? 0 : 3;
}

using Files = ServerTest;

TEST_F(Files, TargetIsReplacedWholeOrWrittenInPlaceWhenHeldOpen) {
    std::vector<std::unique_ptr<void, decltype(&CloseHandle)>> held;
    for (const TargetCase& c : target_cases) {
        if (c.exists) write_file(dir + c.file, old_content);
        if (!c.held) continue;
        const HANDLE handle = CreateFileW((dir + c.file).c_str(), GENERIC_READ, c.share, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        held.emplace_back(handle, &CloseHandle);
    }
    const HostRun run = run_scenario("targets", args());
    held.clear();
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0u) << run.output;
    int failures = 0;
    for (const TargetCase& c : target_cases) {
        SCOPED_TRACE(narrow(c.file));
        EXPECT_EQ(read_file(dir + c.file), c.outcome_arrives ? "TRUE" : old_content);
        failures += !c.outcome_arrives;
        const int logged = count_lines_with(
            run.output, "Can`t write results to file \"" + narrow(dir + c.file) + "\": MoveFileExW refused (");
        EXPECT_EQ(logged, c.outcome_arrives ? 0 : 1) << run.output;
    }
    EXPECT_EQ(count_lines_with(run.output, "[error]"), failures) << run.output;
    EXPECT_TRUE(names_starting_with(dir, L".vantrel-").empty());
}

// ---- Stop: draining and not -------------------------------------------------------------

constexpr int stop_tasks = 300;

VANTREL_SCENARIO(drain) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    lib.init();
    for (int i = 0; i < stop_tasks; ++i) {
        const std::wstring path = dir + L"d" + std::to_wstring(i);
        if (!lib.query(conninfo.c_str(), L";", L"select 1, 2", 30, path.c_str())) return 3;
    }
    lib.deinit(true);
    // Stopped for good: a later task is refused.
    return lib.exec(conninfo.c_str(), L"select 1", 30, (dir + L"late").c_str()) ? 4 : 0;
}

VANTREL_SCENARIO(no_drain) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    lib.init();
    for (int i = 0; i < stop_tasks; ++i) {
        const std::wstring path = dir + L"n" + std::to_wstring(i);
        if (!lib.query(conninfo.c_str(), L";", L"select pg_sleep(0.02), 'done'", 30, path.c_str())) {
            return 3;
        }
    }
    lib.deinit(false);
    return 0;
}

using Stop = ServerTest;

TEST_F(Stop, DrainWritesEveryWaitingTaskThenRefuses) {
    const HostRun run = run_scenario("drain", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0u) << run.output;
    int wrong = 0;
    for (int i = 0; i < stop_tasks; ++i) wrong += read_file(dir + L"d" + std::to_wstring(i)) != "1;2";
    EXPECT_EQ(wrong, 0);
    EXPECT_FALSE(file_exists(dir + L"late"));
    EXPECT_EQ(count_lines_with(run.output, "cVantrelExec(): Task enqueue FAILED"), 1) << run.output;
}

TEST_F(Stop, NoDrainLeavesWaitingTasksAndEndsEveryWorker) {
    const HostRun run = run_scenario("no_drain", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0u) << run.output;
    int written = 0;
    for (int i = 0; i < stop_tasks; ++i) {
        const std::wstring path = dir + L"n" + std::to_wstring(i);
        if (!file_exists(path)) continue;
        ++written;
        EXPECT_EQ(read_file(path), ";done") << i;
    }
    EXPECT_LT(written, stop_tasks) << "a stop without draining ran every waiting task";
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"),
              static_cast<int>(expected_workers()))
        << run.output;
}

// ---- Load: many host threads at once ----------------------------------------------------

constexpr int host_threads = 8;
constexpr int tasks_per_thread = 500;

std::wstring load_id(int thread, int task) {
    return std::to_wstring(thread) + L"-" + std::to_wstring(task);
}

VANTREL_SCENARIO(many_threads) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    lib.init();
    std::atomic<int> refused{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < host_threads; ++t) {
        hosts.emplace_back([&, t] {
            for (int i = 0; i < tasks_per_thread; ++i) {
                const std::wstring id = load_id(t, i);
                const std::wstring sql = L"select '" + id + L"', " + std::to_wstring(i);
                if (!lib.query(conninfo.c_str(), L",", sql.c_str(), 30, (dir + id).c_str())) ++refused;
            }
        });
    }
    for (std::thread& host : hosts) host.join();
    lib.deinit(true);
    return refused.load();
}

using Load = ServerTest;

TEST_F(Load, EightThreadsFiveHundredTasksEachAllCorrect) {
    const HostRun run = run_scenario("many_threads", args(), 300000);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0u) << run.output.substr(0, 4000);
    int wrong = 0;
    for (int t = 0; t < host_threads; ++t) {
        for (int i = 0; i < tasks_per_thread; ++i) {
            const std::wstring id = load_id(t, i);
            wrong += read_file(dir + id) != narrow(id) + "," + std::to_string(i);
        }
    }
    EXPECT_EQ(wrong, 0);
}

// ---- FirstConnection: fresh processes whose workers all connect at once ----------------

VANTREL_SCENARIO(connect_at_once) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    // More tasks than workers, queued before any worker has a session: every worker's first
    // task is a first connection, and they start together.
    const int tasks = static_cast<int>(2 * expected_workers());
    for (int i = 0; i < tasks; ++i) {
        const std::wstring sql = L"select " + std::to_wstring(i);
        lib.query(conninfo.c_str(), L";", sql.c_str(), 30, (dir + std::to_wstring(i)).c_str());
    }
    lib.deinit(true);
    int wrong = 0;
    for (int i = 0; i < tasks; ++i) wrong += read_file(dir + std::to_wstring(i)) != std::to_string(i);
    return wrong == 0 ? 0 : 7;
}

using FirstConnection = ServerTest;

TEST_F(FirstConnection, ManyFreshProcessesConnectingAtOnceAllSucceed) {
    // Without the first connection made alone, about one such process in three aborts.
    constexpr int processes = 24;
    constexpr int at_once = 4;
    for (int first = 0; first < processes; first += at_once) {
        std::vector<std::unique_ptr<Child>> children;
        std::vector<std::wstring> dirs;
        for (int p = first; p < first + at_once; ++p) {
            dirs.push_back(dir + L"p" + std::to_wstring(p) + L"\\");
            ASSERT_TRUE(CreateDirectoryW(dirs.back().c_str(), nullptr));
            children.push_back(std::make_unique<Child>("connect_at_once", Args{dirs.back(), widen(conninfo)}));
        }
        for (std::size_t c = 0; c < children.size(); ++c) {
            const HostRun run = children[c]->wait(60000);
            EXPECT_FALSE(run.timed_out) << "process " << first + static_cast<int>(c);
            // 3 is abort(), 7 a wrong result file.
            EXPECT_EQ(run.exit_code, 0u) << "process " << first + static_cast<int>(c) << "\n"
                                         << run.output;
        }
    }
}

// ---- Unload: the host never stops the library -------------------------------------------

VANTREL_SCENARIO(exit_while_busy) {
    const Exports lib = load_library(library);
    lib.init();
    for (int i = 0; i < 200; ++i) {
        const std::wstring path = args.at(0) + L"b" + std::to_wstring(i);
        lib.query(args.at(1).c_str(), L";", L"select pg_sleep(0.01)", 30, path.c_str());
    }
    return 0;
}

VANTREL_SCENARIO(exit_while_idle) {
    const Exports lib = load_library(library);
    lib.init();
    const std::wstring path = args.at(0) + L"idle.txt";
    lib.exec(args.at(1).c_str(), L"select 1", 30, path.c_str());
    return wait_for_file(path, std::chrono::seconds(30)) ? 0 : 5;
}

// FreeLibrary while the workers still run tasks: they finish them.
VANTREL_SCENARIO(free_library_while_busy) {
    const Exports lib = load_library(library);
    lib.init();
    constexpr int tasks = 20;
    for (int i = 0; i < tasks; ++i) {
        const std::wstring path = args.at(0) + L"f" + std::to_wstring(i);
        const std::wstring sql = L"select pg_sleep(0.05), " + std::to_wstring(i);
        if (!lib.query(args.at(1).c_str(), L";", sql.c_str(), 30, path.c_str())) return 3;
    }
    FreeLibrary(lib.module);
    for (int i = 0; i < tasks; ++i) {
        if (!wait_for_file(args.at(0) + L"f" + std::to_wstring(i), std::chrono::seconds(60))) return 5;
    }
    return 0;
}

using Unload = ServerTest;

TEST_F(Unload, HostExitingWithoutStopEndsWithStatusZero) {
    for (const char* scenario : {"exit_while_busy", "exit_while_idle"}) {
        SCOPED_TRACE(scenario);
        const HostRun run = run_scenario(scenario, args(), 60000);
        EXPECT_FALSE(run.timed_out) << run.output;
        EXPECT_EQ(run.exit_code, 0u) << run.output;
    }
    EXPECT_EQ(read_file(dir + L"idle.txt"), "TRUE");
}

TEST_F(Unload, FreeLibraryWithoutStopLetsRunningTasksFinish) {
    const HostRun run = run_scenario("free_library_while_busy", args(), 90000);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0u) << run.output;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(read_file(dir + L"f" + std::to_wstring(i)), ";" + std::to_string(i));
    }
}

// ---- Notices: the loader reaches DllMain with each of the four reasons ------------------

VANTREL_SCENARIO(notices_free_library) {
    const Exports lib = load_library(debug_library);
    std::thread([] {}).join();
    return FreeLibrary(lib.module) ? 0 : 6;
}

VANTREL_SCENARIO(notices_process_exit) {
    const Exports lib = load_library(debug_library);
    lib.init();
    const std::wstring path = args.at(0) + L"exit.txt";
    lib.exec(args.at(1).c_str(), L"select 1", 30, path.c_str());
    // Exits without a stop, workers running: the detach notice comes at process exit.
    return wait_for_file(path, std::chrono::seconds(30)) ? 0 : 5;
}

std::size_t position(const std::string& text, const std::string& needle) {
    const std::size_t at = text.find(needle);
    return at == std::string::npos ? text.size() + 1 : at;
}

using Notices = ServerTest;

TEST_F(Notices, LoadThreadAndUnloadReachDllMainInOrder) {
    const HostRun run = run_scenario("notices_free_library", args(), 60000);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0u) << run.output;
    const std::size_t attach = position(run.output, "[debug] DllMain(): Process attach");
    const std::size_t thread_attach = position(run.output, "[debug] DllMain(): Thread attach");
    const std::size_t thread_detach = position(run.output, "[debug] DllMain(): Thread detach");
    const std::size_t detach = position(run.output, "[debug] DllMain(): Process detach");
    EXPECT_EQ(count_lines_with(run.output, "DllMain(): Process attach"), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "DllMain(): Process detach"), 1) << run.output;
    EXPECT_LT(attach, thread_attach) << run.output;
    EXPECT_LT(thread_attach, thread_detach) << run.output;
    EXPECT_LT(thread_detach, detach) << run.output;
    EXPECT_LE(detach, run.output.size()) << run.output;
}

TEST_F(Notices, ProcessExitWithRunningWorkersReachesDetach) {
    const HostRun run = run_scenario("notices_process_exit", args(), 60000);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_EQ(read_file(dir + L"exit.txt"), "TRUE");
    // One attach per worker thread; the detach notice once, at the very end.
    EXPECT_GE(count_lines_with(run.output, "[debug] DllMain(): Thread attach"),
              static_cast<int>(expected_workers()))
        << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Process detach"), 1) << run.output;
    EXPECT_GT(position(run.output, "[debug] DllMain(): Process detach"),
              position(run.output, "worker_function(): Query execution finished"))
        << run.output;
}

}  // namespace
}  // namespace vantrel::wintest

int main(int argc, char** argv) { return vantrel::wintest::test_main(argc, argv); }
