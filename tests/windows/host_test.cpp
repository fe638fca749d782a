// vantrel.dll as a Windows host uses it: loaded with LoadLibraryW, called through
// GetProcAddress with wchar_t strings, outcomes read back byte for byte from the result files,
// against the throwaway server. Every scenario runs in a fresh process, since a stopped
// library stays stopped for the life of its load.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "support/stack_call.h"
#include "support/outcome_cases.h"
#include "support/win_host.h"

namespace vantrel::wintest {
namespace {

const std::wstring library = L"vantrel.dll";
// The library's objects with the log level raised to debug before the loader's first notice.
const std::wstring debug_library = L"vantrel_debug.dll";

// ---- Outcomes: one statement per file, every outcome form -------------------------------

// Folder names with Cyrillic letters and a character outside the Basic Multilingual Plane
// (U+1F600, a surrogate pair in UTF-16).
const std::wstring exotic_dir = L"\u041e\u0442\u0447\u0451\u0442\u044b-\U0001F600";
const std::wstring exotic_file = exotic_dir + L"\\\u0438\u0442\u043e\u0433 \U0001F600.csv";

enum class Match { whole, prefix, contains };

struct OutcomeCase {
    std::wstring file;  // relative to the run's folder
    bool exec;          // true: cVantrelExec, without a separator
    std::wstring sep;
    std::wstring sql;
    std::int32_t time;
    std::string expected;
    Match match;
    std::wstring options = L"";  // added to the connection string
};

// The root certificates tests/windows/enable-ssl.sh leaves beside the test server: the
// server's own and an unrelated one. Empty when the server is not the throwaway one. Forward
// slashes: a backslash in a connection string value escapes the next character.
std::wstring root_certificate(const wchar_t* name) {
    const char* dir = std::getenv("VANTREL_TEST_PG_DIR");
    return dir == nullptr ? std::wstring() : widen(dir) + L"/ssl/" + name;
}

const wchar_t* const session_uses_ssl = L"select ssl from pg_stat_ssl where pid = pg_backend_pid()";

// The cases both host suites share, then what only this one shows: a file in a folder whose
// name is outside ASCII, and TLS through the closure's OpenSSL.
const std::vector<OutcomeCase>& outcome_cases() {
    static const std::vector<OutcomeCase> cases = [] {
        std::vector<OutcomeCase> all;
        for (const test::OutcomeCase& c : test::outcome_cases) {
            all.push_back({widen(c.file), c.sep == nullptr, c.sep ? widen(c.sep) : L"", widen(c.sql),
                           c.time, c.expected, c.whole ? Match::whole : Match::prefix});
        }
        all.push_back({exotic_file, false, L";", L"select 'exotic'", 30, "exotic", Match::whole});
        const std::wstring right_root = root_certificate(L"root.crt");
        if (right_root.empty()) return all;
        // Required, verified against the server's own certificate, and refused against another.
        const std::wstring verify = L" sslmode=verify-full sslrootcert=";
        all.push_back({L"ssl-require.txt", false, L";", session_uses_ssl, 30, "t", Match::whole, L" sslmode=require"});
        all.push_back({L"ssl-verify.txt", false, L";", session_uses_ssl, 30, "t", Match::whole, verify + right_root});
        all.push_back({L"ssl-wrong-root.txt", false, L";", session_uses_ssl, 30,
                       "SSL error: certificate verify failed", Match::contains,
                       verify + root_certificate(L"other.crt")});
        return all;
    }();
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
        const std::wstring session = conninfo + c.options;
        queued &= c.exec ? lib.exec(session.c_str(), c.sql.c_str(), c.time, path.c_str())
                         : lib.query(session.c_str(), c.sep.c_str(), c.sql.c_str(), c.time, path.c_str());
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
        switch (c.match) {
            case Match::whole: EXPECT_EQ(content, c.expected); break;
            case Match::prefix: EXPECT_EQ(content.substr(0, c.expected.size()), c.expected) << content; break;
            case Match::contains: EXPECT_NE(content.find(c.expected), std::string::npos) << content; break;
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

// A file in the run's folder, a device, or a named pipe this test serves.
enum class At { file, device, pipe };

struct TargetCase {
    const wchar_t* file;
    At at;
    bool exists;           // the file is there before the run, holding old_content
    bool held;             // another process (this test) keeps it open during the run
    DWORD share;           // that handle's share mode
    bool outcome_arrives;  // "TRUE" replaces the old content; otherwise it stays
};

const TargetCase target_cases[] = {
    {L"new.txt", At::file, false, false, 0, true},
    {L"existing.txt", At::file, true, false, 0, true},
    {L"held-sharing-delete.txt", At::file, true, true, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
    // No FILE_SHARE_DELETE: the replacement is refused and the file is written in place.
    {L"held-sharing-write.txt", At::file, true, true, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
    // Nothing shared: a plain open is refused, and so is the library's; the old content stays
    // and the refusal is logged.
    {L"held-exclusively.txt", At::file, true, true, 0, false},
    // Written in place: a file moved there would replace the device or miss the pipe's reader.
    {L"\\\\.\\NUL", At::device, true, false, 0, true},
    {L"-pipe", At::pipe, true, false, 0, true},
};

std::wstring target_path(const std::wstring& dir, const TargetCase& c) {
    switch (c.at) {
        case At::device: return c.file;
        // Pipe names allow no backslash: the run's folder name makes this one unique.
        case At::pipe: {
            const std::wstring folder = dir.substr(0, dir.size() - 1);
            return L"\\\\.\\pipe\\" + folder.substr(folder.find_last_of(L'\\') + 1) + c.file;
        }
        default: return dir + c.file;
    }
}

VANTREL_SCENARIO(targets) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    bool queued = true;
    for (const TargetCase& c : target_cases) {
        queued &= lib.exec(conninfo.c_str(), L"select 1", 30, target_path(dir, c).c_str());
    }
    lib.deinit(true);
    return queued ? 0 : 3;
}

// One instance of a named pipe, read to its end by a thread of this process.
class PipeReader {
public:
    explicit PipeReader(const std::wstring& name)
        : name(name),
          pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0,
                                4096, 0, nullptr)) {
        reader = std::thread([this] {
            if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
            char chunk[256];
            DWORD got = 0;
            while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);
        });
    }
    ~PipeReader() {
        finish();
        CloseHandle(pipe);
    }
    bool valid() const { return pipe != INVALID_HANDLE_VALUE; }
    // What arrived.
    std::string received() {
        finish();
        return text;
    }

private:
    // A reader still waiting for a writer gets one that closes at once.
    void finish() {
        if (!reader.joinable()) return;
        const HANDLE writer = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
        reader.join();
    }

    std::wstring name;
    HANDLE pipe;
    std::string text;
    std::thread reader;
};

using Files = ServerTest;

TEST_F(Files, TargetIsReplacedWholeOrWrittenInPlaceWhenHeldOpenOrNoFile) {
    std::vector<std::unique_ptr<void, decltype(&CloseHandle)>> held;
    std::unique_ptr<PipeReader> pipe;
    for (const TargetCase& c : target_cases) {
        const std::wstring path = target_path(dir, c);
        if (c.at == At::pipe) pipe = std::make_unique<PipeReader>(path);
        if (c.at == At::pipe) ASSERT_TRUE(pipe->valid());
        if (c.at == At::file && c.exists) write_file(path, old_content);
        if (!c.held) continue;
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, c.share, nullptr,
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
        const std::wstring path = target_path(dir, c);
        SCOPED_TRACE(narrow(path));
        if (c.at == At::file) EXPECT_EQ(read_file(path), c.outcome_arrives ? "TRUE" : old_content);
        if (c.at == At::pipe) EXPECT_EQ(pipe->received(), "TRUE");
        failures += !c.outcome_arrives;
        const int logged = count_lines_with(
            run.output, "Can`t write results to file \"" + narrow(path) + "\": CreateFileW: ");
        EXPECT_EQ(logged, c.outcome_arrives ? 0 : 1) << run.output;
    }
    EXPECT_EQ(count_lines_with(run.output, "[error]"), failures) << run.output;
    // Nothing was made in the folder but the files of the table.
    EXPECT_TRUE(names_starting_with(dir, L".vantrel-").empty());
    EXPECT_TRUE(names_starting_with(dir, L"NUL").empty());
}

// ---- Stop: draining and not -------------------------------------------------------------

constexpr int stop_tasks = 300;

// The stop's argument as the host passes it: "true" or "false" as the compiler passes a
// bool; on x86 also a hexadecimal value for the argument's whole 32-bit stack slot, of which
// only the low byte is the bool.
const std::vector<std::wstring> draining_stops = {
    L"true",
#if defined(VANTREL_TEST_STACK_CALLS)
    L"0xFFFFFF01",
#endif
};
const std::vector<std::wstring> stops_without_drain = {
    L"false",
#if defined(VANTREL_TEST_STACK_CALLS)
    L"0x00000100",
#endif
};

void stop(const Exports& lib, const std::wstring& argument) {
    if (argument == L"true" || argument == L"false") return lib.deinit(argument == L"true");
#if defined(VANTREL_TEST_STACK_CALLS)
    call_pushing(reinterpret_cast<const void*>(lib.deinit),
                 {static_cast<std::uint32_t>(std::wcstoul(argument.c_str(), nullptr, 16))});
#endif
}

// Queues slow tasks, then stops with the argument given: dir, conninfo, argument.
VANTREL_SCENARIO(stop_with) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    lib.init();
    for (int i = 0; i < stop_tasks; ++i) {
        const std::wstring path = dir + L"t" + std::to_wstring(i);
        if (!lib.query(conninfo.c_str(), L";", L"select pg_sleep(0.02), 'done'", 30, path.c_str())) {
            return 3;
        }
    }
    stop(lib, args.at(2));
    // Stopped for good: a later task is refused.
    return lib.exec(conninfo.c_str(), L"select 1", 30, (dir + L"late").c_str()) ? 4 : 0;
}

class Stop : public ServerTest {
protected:
    HostRun run_stop(const std::wstring& argument, std::wstring& run_dir) {
        run_dir = dir + L"stop-" + argument + L"\\";
        EXPECT_TRUE(CreateDirectoryW(run_dir.c_str(), nullptr));
        return run_scenario("stop_with", {run_dir, widen(conninfo), argument});
    }
    static int results_written(const std::wstring& run_dir) {
        int written = 0;
        for (int i = 0; i < stop_tasks; ++i) {
            const std::wstring path = run_dir + L"t" + std::to_wstring(i);
            if (!file_exists(path)) continue;
            ++written;
            EXPECT_EQ(read_file(path), ";done") << i;
        }
        return written;
    }
};

TEST_F(Stop, DrainWritesEveryWaitingTaskThenRefuses) {
    for (const std::wstring& argument : draining_stops) {
        SCOPED_TRACE(narrow(argument));
        std::wstring run_dir;
        const HostRun run = run_stop(argument, run_dir);
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0u) << run.output;
        EXPECT_EQ(results_written(run_dir), stop_tasks);
        EXPECT_FALSE(file_exists(run_dir + L"late"));
        EXPECT_EQ(count_lines_with(run.output, "cVantrelExec(): Task enqueue FAILED"), 1) << run.output;
    }
}

TEST_F(Stop, NoDrainLeavesWaitingTasksAndEndsEveryWorker) {
    for (const std::wstring& argument : stops_without_drain) {
        SCOPED_TRACE(narrow(argument));
        std::wstring run_dir;
        const HostRun run = run_stop(argument, run_dir);
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0u) << run.output;
        EXPECT_LT(results_written(run_dir), stop_tasks) << "a stop without draining ran every waiting task";
        EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"),
                  static_cast<int>(library_workers()))
            << run.output;
    }
}

// ---- CallingConvention (x86): each export leaves its arguments for the caller to remove --

#if defined(VANTREL_TEST_STACK_CALLS)
// Calls the four exports as a 32-bit host's compiled code does, each argument pushed.
VANTREL_SCENARIO(pushed_arguments) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library(library);
    const std::wstring rows = dir + L"rows.txt";
    const std::wstring exec = dir + L"exec.txt";
    const auto address = [](auto function) { return reinterpret_cast<const void*>(function); };
    struct PushedCall {
        const char* name;
        std::uint32_t pushed;  // bytes of arguments
        StackCall call;
    };
    // Braced initialisers run in order: start, two tasks, a draining stop.
    const PushedCall calls[] = {
        {"cVantrelInit", 0, call_pushing(address(lib.init), {})},
        {"cVantrel", 20,
         call_pushing(address(lib.query),
                      {slot(conninfo.c_str()), slot(L";"), slot(L"select 1, 2"), 30, slot(rows.c_str())})},
        {"cVantrelExec", 16,
         call_pushing(address(lib.exec), {slot(conninfo.c_str()), slot(L"select 1"), 30, slot(exec.c_str())})},
        {"cVantrelDeinit", 4, call_pushing(address(lib.deinit), {1})},
    };
    int wrong = 0;
    for (const PushedCall& c : calls) {
        if (c.call.bytes_left == c.pushed) continue;
        std::printf("%s: %u of %u argument bytes left for the caller\n", c.name,
                    static_cast<unsigned>(c.call.bytes_left), static_cast<unsigned>(c.pushed));
        ++wrong;
    }
    // Both submissions were queued: true in the low byte of eax.
    if ((calls[1].call.eax & 0xFF) != 1 || (calls[2].call.eax & 0xFF) != 1) wrong += 10;
    return wrong;
}

using CallingConvention = ServerTest;

TEST_F(CallingConvention, EveryExportLeavesItsArgumentsToTheCaller) {
    const HostRun run = run_scenario("pushed_arguments", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    // The pushed arguments arrived where the library reads them.
    EXPECT_EQ(read_file(dir + L"rows.txt"), "1;2");
    EXPECT_EQ(read_file(dir + L"exec.txt"), "TRUE");
}
#endif

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
    const int tasks = static_cast<int>(2 * library_workers());
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
    // A client library whose first use is not thread-safe (the earlier closure's libintl
    // set-up) made 30 of 72 such processes abort.
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
    return wait_for_file(path, std::chrono::steady_clock::now() + std::chrono::seconds(30) * time_scale()) ? 0 : 5;
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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60) * time_scale();
        if (!wait_for_file(args.at(0) + L"f" + std::to_wstring(i), deadline)) return 5;
    }
    return 0;
}

// Stopped, unloaded and loaded again: the second load is a fresh library that starts over.
VANTREL_SCENARIO(reload_after_stop) {
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    for (const wchar_t* name : {L"first-load.txt", L"second-load.txt"}) {
        const Exports lib = load_library(library);
        lib.init();
        if (!lib.exec(conninfo.c_str(), L"select 1", 30, (dir + name).c_str())) return 3;
        lib.deinit(true);
        if (!FreeLibrary(lib.module)) return 6;
        // Unloaded for good: no reference of the library's own is left behind.
        if (GetModuleHandleW(library.c_str()) != nullptr) return 8;
    }
    return 0;
}

using Unload = ServerTest;

TEST_F(Unload, StopThenFreeLibraryUnloadsAndALaterLoadStartsAfresh) {
    const HostRun run = run_scenario("reload_after_stop", args(), 60000);
    ASSERT_FALSE(run.timed_out) << run.output;
    // 8: the library was still loaded after the stop and FreeLibrary.
    ASSERT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_EQ(read_file(dir + L"first-load.txt"), "TRUE");
    EXPECT_EQ(read_file(dir + L"second-load.txt"), "TRUE");
    EXPECT_EQ(count_lines_with(run.output, "[info] cVantrelInit(): Library inirialized"), 2)
        << run.output;
}

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
    return wait_for_file(path, std::chrono::steady_clock::now() + std::chrono::seconds(30) * time_scale()) ? 0 : 5;
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
              static_cast<int>(library_workers()))
        << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Process detach"), 1) << run.output;
    EXPECT_GT(position(run.output, "[debug] DllMain(): Process detach"),
              position(run.output, "worker_function(): Query execution finished"))
        << run.output;
}

}  // namespace
}  // namespace vantrel::wintest

int main(int argc, char** argv) { return vantrel::wintest::test_main(argc, argv); }
