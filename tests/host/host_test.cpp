// What a host sees, on every build (libvantrel.so, vantrel.dll x64 and x86): the library loaded
// at run time, called through its exports with vantrel_char text, outcomes read back byte for
// byte from the result files, against the throwaway server. Every scenario runs in a fresh
// process, since a stopped library stays stopped for the life of its load. A case or row that
// runs on one platform only says why where it stands (docs/windows.md lists them).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include "support/stack_call.h"
#endif

#include "support/host_files.h"
#include "support/host_library.h"
#include "support/host_side.h"
#include "support/outcome_cases.h"
#include "support/server_test.h"

#define T(literal) VANTREL_TEXT(literal)

namespace vantrel::test {
namespace {

#if defined(_WIN32)
// The failed open's reason names the call the library made.
const std::string open_failure = "CreateFileW: ";
#else
const std::string open_failure;
#endif

Text number(long value) { return text(std::to_string(value)); }

// ---- Outcomes: one statement per file, every outcome form -------------------------------

// A folder whose name holds Cyrillic letters and a character outside the Basic Multilingual
// Plane (U+1F600, a surrogate pair in UTF-16), and a file in it.
const std::string exotic_dir = "\xd0\x9e\xd1\x82\xd1\x87\xd1\x91\xd1\x82\xd1\x8b-\xf0\x9f\x98\x80";
const std::string exotic_file = exotic_dir + "/\xd0\xb8\xd1\x82\xd0\xbe\xd0\xb3 \xf0\x9f\x98\x80.csv";

enum class Match { whole, prefix, contains };

struct HostOutcomeCase {
    std::string file;  // in the run's folder, '/' between folders
    bool exec;         // true: cVantrelExec, without a separator
    std::string sep;
    std::string sql;
    std::int32_t time;
    std::string expected;
    Match match;
    std::string options = "";  // added to the connection string
};

const char* const session_uses_ssl = "select ssl from pg_stat_ssl where pid = pg_backend_pid()";

// The shared table, a file in a folder whose name is outside ASCII, and (Windows only) TLS
// through the closure's OpenSSL: tests/windows/enable-ssl.sh turns SSL on for the Windows
// stages' server and leaves the server's root certificate and an unrelated one beside it;
// the Linux stage's server, shared by every Linux test, runs without SSL, and its libpq is
// Debian's own.
std::vector<HostOutcomeCase> host_outcome_cases() {
    std::vector<HostOutcomeCase> all;
    for (const OutcomeCase& c : outcome_cases) {
        all.push_back({c.file, c.sep == nullptr, c.sep ? c.sep : "", c.sql, c.time, c.expected,
                       c.whole ? Match::whole : Match::prefix});
    }
    all.push_back({exotic_file, false, ";", "select 'exotic'", 30, "exotic", Match::whole});
#if defined(_WIN32)
    // Forward slashes: a backslash in a connection string value escapes the next character.
    const std::string certificates = test_pg_dir() + "/ssl/";
    const std::string verify = " sslmode=verify-full sslrootcert=" + certificates;
    all.push_back({"ssl-require.txt", false, ";", session_uses_ssl, 30, "t", Match::whole, " sslmode=require"});
    all.push_back({"ssl-verify.txt", false, ";", session_uses_ssl, 30, "t", Match::whole, verify + "root.crt"});
    all.push_back({"ssl-wrong-root.txt", false, ";", session_uses_ssl, 30, "SSL error: certificate verify failed",
                   Match::contains, verify + "other.crt"});
#endif
    return all;
}

const std::string unwritable = "missing-dir/x.txt";

Text native_path(const Text& run_dir, const std::string& name) {
    Text path = run_dir + text(name);
    for (std::size_t i = run_dir.size(); i < path.size(); ++i) {
        if (path[i] == T('/')) path[i] = separator[0];
    }
    return path;
}

VANTREL_SCENARIO(outcomes) {
    const Text& dir = args.at(0);
    const std::string conninfo = utf8(args.at(1));
    const Exports lib = load_library();
    lib.init();
    bool queued = true;
    for (const HostOutcomeCase& c : host_outcome_cases()) {
        const Text path = native_path(dir, c.file);
        const Text session = text(conninfo + c.options);
        const Text sql = text(c.sql);
        queued &= c.exec ? lib.exec(session.c_str(), sql.c_str(), c.time, path.c_str())
                         : lib.query(session.c_str(), text(c.sep).c_str(), sql.c_str(), c.time, path.c_str());
    }
    queued &= lib.exec(args.at(1).c_str(), T("select 1"), 30, native_path(dir, unwritable).c_str());
    lib.deinit(true);
    return queued ? 0 : 3;
}

using Outcomes = ServerTest;

TEST_F(Outcomes, EveryFormReachesItsFileByteForByte) {
    make_dir(file(exotic_dir));
    const HostRun run = run_scenario("outcomes", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    for (const HostOutcomeCase& c : host_outcome_cases()) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(exists(c.file));
        const std::string found = content(c.file);
        switch (c.match) {
            case Match::whole: EXPECT_EQ(found, c.expected); break;
            case Match::prefix: EXPECT_EQ(found.substr(0, c.expected.size()), c.expected) << found; break;
            case Match::contains: EXPECT_NE(found.find(c.expected), std::string::npos) << found; break;
        }
    }
    // The failed write is logged with the path and the system's reason, and leaves nothing.
    EXPECT_FALSE(exists(unwritable));
    EXPECT_EQ(count_lines_with(run.output, "[error] worker_function(): Can`t write results to file \"" +
                                               utf8(file(unwritable)) + "\": " + open_failure),
              1)
        << run.output;
    // No temporary file survives, the failed write's included.
    EXPECT_TRUE(names_starting_with(host_dir, T(".vantrel-")).empty());
    EXPECT_TRUE(names_starting_with(file(exotic_dir), T(".vantrel-")).empty());
}

VANTREL_SCENARIO(debug_excerpts) {
    const Text& dir = args.at(0);
    const Exports lib = load_library(Build::debug);
    const auto q = [&](const vantrel_char* sql, const std::string& name) {
        return lib.query(args.at(1).c_str(), T(";"), sql, 30, native_path(dir, name).c_str());
    };
    const bool ok = q(T("select repeat('x', 1024)"), "exact") && q(T("select repeat('y', 1025)"), "over") &&
                    q(T("select ''"), "blank") && q(T("select 1"), "missing-dir/f") &&
                    q(T("select 2"), "after-failure");
    lib.deinit(true);
    return ok ? 0 : 3;
}

TEST_F(Outcomes, WorkerDebugLinesShowTheTaskAndAnExcerptOfItsOutcome) {
    const std::string secret = "Pw4Excerpt";
    const HostRun run = run_scenario("debug_excerpts", {host_dir, text(conninfo + " password=" + secret)});
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::string finished = "worker_function(): Query execution finished. Result:\n'''";
    EXPECT_NE(run.output.find(finished + std::string(1024, 'x') + "'''"), std::string::npos);
    EXPECT_NE(run.output.find(finished + std::string(1024, 'y') + "...'''"), std::string::npos);
    EXPECT_EQ(run.output.find(std::string(1025, 'y')), std::string::npos);
    EXPECT_NE(run.output.find(finished + "'''"), std::string::npos);
    EXPECT_EQ(content("over"), std::string(1025, 'y'));
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Dequeue task {\"query\":\"select 2\""), 1);
    // A failed write does not end the worker: the task after it still lands.
    EXPECT_EQ(count_lines_with(run.output, "[error] worker_function(): Can`t write results to file"), 1);
    EXPECT_EQ(content("after-failure"), "2");
    EXPECT_EQ(run.output.find(secret), std::string::npos) << "password leaked to the log";
}

// ---- Submission: how host arguments become a queued task ---------------------------------

const vantrel_char* const unreachable = T("host=/nonexistent-socket-dir");

VANTREL_SCENARIO(arguments_in_order) {
    const Exports lib = load_library(Build::debug);
    const Text path = args.at(0) + T("out.txt");
    const bool queried = lib.query(unreachable, T(","), T("select 1"), 30, path.c_str());
    const bool executed = lib.exec(unreachable, T("delete from t"), -5, path.c_str());
    lib.deinit(true);
    return queried && executed ? 0 : 3;
}

using Submission = ServerTest;

// The worker's line shows the task as it left the queue: moved through it, every member arrives.
TEST_F(Submission, ArgumentsBecomeTheTaskInTheirOrderAndReachTheWorkerWhole) {
    const HostRun run = run_scenario("arguments_in_order", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::string out = described(utf8(file("out.txt")));
    const std::string query_task =
        "{\"query\":\"select 1\", \"path\":\"" + out + "\", \"sep\":\",\", \"time\":\"30\", \"drop\":\"False\"}";
    const std::string exec_task =
        "{\"query\":\"delete from t\", \"path\":\"" + out + "\", \"sep\":\"\", \"time\":\"-5\", \"drop\":\"True\"}";
    EXPECT_EQ(count_lines_with(run.output, "[debug] cVantrel(): Enqueue task " + query_task), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] cVantrelExec(): Enqueue task " + exec_task), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] worker_function(): Dequeue task " + query_task), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] worker_function(): Dequeue task " + exec_task), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] cVantrel(): Queue length is "), 1);
    EXPECT_EQ(count_lines_with(run.output, "[debug] cVantrelExec(): Queue length is "), 1);
    // The connection string, which the lines leave out, reached the worker's session.
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Creating connection to host=/nonexistent-socket-dir"), 2);
}

// Cyrillic and U+1F600 in a file name.
const std::string exotic_name = "\xd0\xb6\xd1\x83\xd0\xba\xf0\x9f\x98\x80.txt";

VANTREL_SCENARIO(non_ascii_arguments) {
    const Exports lib = load_library(Build::debug);
    const Text path = args.at(0) + text(exotic_name);
    const bool ok = lib.query(T("host=/nonexistent application_name=\u0416"), T("\u20ac"), T("select '\U0001F600'"),
                              1, path.c_str());
    lib.deinit(true);
    return ok ? 0 : 3;
}

TEST_F(Submission, NonAsciiArgumentsArriveAsUtf8) {
    const HostRun run = run_scenario("non_ascii_arguments", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "Enqueue task {\"query\":\"select '\xf0\x9f\x98\x80'\", \"path\":\"" +
                                               described(utf8(file(exotic_name))) + "\", \"sep\":\"\xe2\x82\xac\""),
              1)
        << run.output;
    EXPECT_EQ(count_lines_with(run.output, "Connection constructed: host=/nonexistent application_name=\xd0\x96"), 1);
    // The worker opened the file by the path's own characters.
    EXPECT_TRUE(exists(exotic_name));
}

// Each call's one ill-formed or null argument: a high surrogate before an ordinary unit, a
// lone low one, a high one at the end.
const vantrel_char bad[] = {T('x'), 0xD800, T('y'), 0};
const vantrel_char lone_low[] = {0xDC00, 0};
const vantrel_char trailing_high[] = {T('a'), 0xDBFF, 0};

struct BadCall {
    const char* what;
    bool (*call)(const Exports& lib, const vantrel_char* path);
};

const BadCall bad_calls[] = {
    {"bad conversion", [](const Exports& l, const vantrel_char* p) { return l.query(bad, T(";"), T("select 1"), 1, p); }},
    {"bad conversion", [](const Exports& l, const vantrel_char* p) { return l.query(unreachable, lone_low, T("select 1"), 1, p); }},
    {"bad conversion", [](const Exports& l, const vantrel_char* p) { return l.query(unreachable, T(";"), trailing_high, 1, p); }},
    {"bad conversion", [](const Exports& l, const vantrel_char*) { return l.query(unreachable, T(";"), T("select 1"), 1, bad); }},
    {"bad conversion", [](const Exports& l, const vantrel_char* p) { return l.exec(lone_low, T("select 1"), 1, p); }},
    {"bad conversion", [](const Exports& l, const vantrel_char* p) { return l.exec(unreachable, bad, 1, p); }},
    {"bad conversion", [](const Exports& l, const vantrel_char*) { return l.exec(unreachable, T("select 1"), 1, trailing_high); }},
    {"null argument", [](const Exports& l, const vantrel_char* p) { return l.query(nullptr, T(";"), T("select 1"), 1, p); }},
    {"null argument", [](const Exports& l, const vantrel_char* p) { return l.query(unreachable, nullptr, T("select 1"), 1, p); }},
    {"null argument", [](const Exports& l, const vantrel_char* p) { return l.query(unreachable, T(";"), nullptr, 1, p); }},
    {"null argument", [](const Exports& l, const vantrel_char*) { return l.query(unreachable, T(";"), T("select 1"), 1, nullptr); }},
    {"null argument", [](const Exports& l, const vantrel_char* p) { return l.exec(nullptr, T("select 1"), 1, p); }},
    {"null argument", [](const Exports& l, const vantrel_char* p) { return l.exec(unreachable, nullptr, 1, p); }},
    {"null argument", [](const Exports& l, const vantrel_char*) { return l.exec(unreachable, T("select 1"), 1, nullptr); }},
};

// dir, the row of bad_calls.
VANTREL_SCENARIO(bad_call) {
    const Exports lib = load_library(Build::debug);
    const Text never = args.at(0) + T("never-written");
    const BadCall& c = bad_calls[std::stoul(utf8(args.at(1)))];
    return c.call(lib, never.c_str()) ? 3 : 0;
}

TEST_F(Submission, IllFormedOrNullArgumentsAreRejectedBeforeAnythingIsQueued) {
    for (std::size_t row = 0; row < std::size(bad_calls); ++row) {
        SCOPED_TRACE(row);
        const HostRun run = run_scenario("bad_call", {host_dir, number(static_cast<long>(row))});
        ASSERT_EQ(run.exit_code, 0) << "accepted a call that should fail: " << bad_calls[row].what << "\n" << run.output;
        EXPECT_EQ(count_lines_with(run.output, std::string("(): Task rejected: ") + bad_calls[row].what), 1)
            << run.output;
        EXPECT_EQ(count_lines_with(run.output, "[error]"), 1);
        EXPECT_EQ(count_lines_with(run.output, "Enqueue task"), 0);
        EXPECT_EQ(count_lines_with(run.output, "Staring worker"), 0) << "the pool was built";
    }
    EXPECT_FALSE(exists("never-written"));
}

// An empty connection string would leave libpq to read PGHOST and the like from the
// environment: the empty texts here are the separator and the statement, sent to the test server.
VANTREL_SCENARIO(empty_strings) {
    const Exports lib = load_library();
    const Text path = args.at(0) + T("r");
    const vantrel_char* server = args.at(1).c_str();
    const bool all = lib.query(server, T(""), T(""), 0, path.c_str()) &&
                     lib.exec(server, T(""), INT32_MIN, path.c_str()) &&
                     lib.query(unreachable, T(";"), T("select 1"), INT32_MAX, path.c_str()) &&
                     lib.exec(unreachable, T("select 1"), -1, T(""));
    lib.deinit(false);
    return all ? 0 : 3;
}

TEST_F(Submission, EmptyStringsAndAnyTimeAreAccepted) {
    const HostRun run = run_scenario("empty_strings", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    EXPECT_EQ(run.exit_code, 0) << run.output;
}

VANTREL_SCENARIO(refused_after_stop) {
    const Exports lib = load_library();
    const Text path = args.at(0) + T("late.txt");
    lib.init();
    lib.deinit(true);
    const bool query = lib.query(unreachable, T(";"), T("select 1"), 1, path.c_str());
    const bool exec = lib.exec(unreachable, T("select 1"), 1, path.c_str());
    return !query && !exec ? 0 : 3;
}

TEST_F(Submission, RefusedAfterTheStopWithTheWarnLine) {
    const HostRun run = run_scenario("refused_after_stop", args());
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[warning] cVantrel(): Task enqueue FAILED"), 1) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[warning] cVantrelExec(): Task enqueue FAILED"), 1);
    EXPECT_FALSE(exists("late.txt"));
}

// ---- Files: what stands at the target path before the outcome arrives -------------------

const std::string old_content = "a much longer previous content that must vanish entirely\r\n";

// A file in the run's folder, a device, or a named pipe this test serves.
enum class At { file, device, pipe };

struct TargetCase {
    const char* file;
    At at;
    bool exists;           // the file is there before the run, holding old_content
    bool held;             // another process (this test) keeps it open during the run
    unsigned long share;   // that handle's share mode
    bool outcome_arrives;  // "TRUE" replaces the old content; otherwise it stays
};

const TargetCase target_cases[] = {
    {"new.txt", At::file, false, false, 0, true},
    {"existing.txt", At::file, true, false, 0, true},
#if defined(_WIN32)
    // Windows only, from here on: share modes, devices by \\.\ names and named pipes are
    // Windows's own; on Linux an open file never stands in the way of a replacement.
    {"held-sharing-delete.txt", At::file, true, true, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
    // No FILE_SHARE_DELETE: the replacement is refused and the file is written in place.
    {"held-sharing-write.txt", At::file, true, true, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
    // Nothing shared: a plain open is refused, and so is the library's; the old content stays
    // and the refusal is logged.
    {"held-exclusively.txt", At::file, true, true, 0, false},
    // Written in place: a file moved there would replace the device or miss the pipe's reader.
    {"\\\\.\\NUL", At::device, true, false, 0, true},
    {"-pipe", At::pipe, true, false, 0, true},
#endif
};

Text target_path(const Text& dir, const TargetCase& c) {
    switch (c.at) {
        case At::device: return text(c.file);
        // Pipe names allow no backslash: the run's folder name makes this one unique.
        case At::pipe: {
            const Text run_dir = dir.substr(0, dir.size() - 1);
            return T("\\\\.\\pipe\\") + run_dir.substr(run_dir.find_last_of(separator[0]) + 1) + text(c.file);
        }
        default: return dir + text(c.file);
    }
}

VANTREL_SCENARIO(targets) {
    const Text& dir = args.at(0);
    const Exports lib = load_library();
    bool queued = true;
    for (const TargetCase& c : target_cases) {
        queued &= lib.exec(args.at(1).c_str(), T("select 1"), 30, target_path(dir, c).c_str());
    }
    lib.deinit(true);
    return queued ? 0 : 3;
}

#if defined(_WIN32)
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

// Handles the test keeps open on the targets while the scenario runs, and the pipe's reader.
struct HeldTargets {
    std::vector<std::unique_ptr<void, decltype(&CloseHandle)>> handles;
    std::unique_ptr<PipeReader> pipe;

    void prepare(const Text& path, const TargetCase& c) {
        if (c.at == At::pipe) {
            pipe = std::make_unique<PipeReader>(path);
            ASSERT_TRUE(pipe->valid());
        }
        if (!c.held) return;
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        handles.emplace_back(handle, &CloseHandle);
    }
    void release() { handles.clear(); }
    std::string piped() { return pipe ? pipe->received() : std::string(); }
};
#else
struct HeldTargets {
    void prepare(const Text&, const TargetCase&) {}
    void release() {}
    std::string piped() { return std::string(); }
};
#endif

using Files = ServerTest;

TEST_F(Files, TargetIsReplacedWholeOrWrittenInPlaceWhenHeldOpenOrNoFile) {
    HeldTargets held;
    for (const TargetCase& c : target_cases) {
        const Text path = target_path(host_dir, c);
        if (c.at == At::file && c.exists) write_file(path, old_content);
        ASSERT_NO_FATAL_FAILURE(held.prepare(path, c));
    }
    const HostRun run = run_scenario("targets", args());
    held.release();
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    int failures = 0;
    for (const TargetCase& c : target_cases) {
        const Text path = target_path(host_dir, c);
        SCOPED_TRACE(utf8(path));
        if (c.at == At::file) {
            EXPECT_EQ(read_file(path), c.outcome_arrives ? "TRUE" : old_content);
        }
        if (c.at == At::pipe) {
            EXPECT_EQ(held.piped(), "TRUE");
        }
        failures += !c.outcome_arrives;
        const int logged =
            count_lines_with(run.output, "Can`t write results to file \"" + utf8(path) + "\": " + open_failure);
        EXPECT_EQ(logged, c.outcome_arrives ? 0 : 1) << run.output;
    }
    EXPECT_EQ(count_lines_with(run.output, "[error]"), failures) << run.output;
    // Nothing was made in the folder but the files of the table.
    EXPECT_TRUE(names_starting_with(host_dir, T(".vantrel-")).empty());
    EXPECT_TRUE(names_starting_with(host_dir, T("NUL")).empty());
}

// ---- Stop: draining and not -------------------------------------------------------------

constexpr int stop_tasks = 300;

// How the host stops: with or without a start first (the first submission builds the pool
// then), and the stop's argument as the host passes it: "true" or "false" as the compiler
// passes a bool; on x86 also a hexadecimal value for the argument's whole 32-bit stack slot,
// of which only the low byte is the bool.
struct StopCase {
    const char* argument;
    bool started;
};

const StopCase draining_stops[] = {
    {"true", true},
    {"true", false},
#if defined(VANTREL_TEST_STACK_CALLS)
    {"0xFFFFFF01", true},
#endif
};
const StopCase stops_without_drain[] = {
    {"false", true},
#if defined(VANTREL_TEST_STACK_CALLS)
    {"0x00000100", true},
#endif
};

void stop(const Exports& lib, const Text& argument) {
    if (argument == T("true") || argument == T("false")) return lib.deinit(argument == T("true"));
#if defined(VANTREL_TEST_STACK_CALLS)
    wintest::call_pushing(reinterpret_cast<const void*>(lib.deinit),
                          {static_cast<std::uint32_t>(std::wcstoul(argument.c_str(), nullptr, 16))});
#endif
}

// Queues slow tasks, then stops with the argument given: dir, conninfo, argument, started.
VANTREL_SCENARIO(stop_with) {
    const Text& dir = args.at(0);
    const Text& conninfo = args.at(1);
    const Exports lib = load_library();
    if (args.at(3) == T("started")) lib.init();
    for (int i = 0; i < stop_tasks; ++i) {
        const Text path = dir + T("t") + number(i);
        if (!lib.query(conninfo.c_str(), T(";"), T("select pg_sleep(0.02), 'done'"), 30, path.c_str())) {
            return 3;
        }
    }
    stop(lib, args.at(2));
    // Stopped for good: a later task is refused.
    return lib.exec(conninfo.c_str(), T("select 1"), 30, (dir + T("late")).c_str()) ? 4 : 0;
}

class Stop : public ServerTest {
protected:
    HostRun run_stop(const StopCase& c, Text& run_dir) {
        run_dir = host_dir + T("stop-") + text(c.argument) + (c.started ? T("-started") : T("")) + separator;
        make_dir(run_dir);
        return run_scenario("stop_with",
                            {run_dir, text(conninfo), text(c.argument), c.started ? T("started") : T("first")});
    }
    static int results_written(const Text& run_dir) {
        int written = 0;
        for (int i = 0; i < stop_tasks; ++i) {
            const Text path = run_dir + T("t") + number(i);
            if (!file_exists(path)) continue;
            ++written;
            EXPECT_EQ(read_file(path), ";done") << i;
        }
        return written;
    }
};

TEST_F(Stop, DrainWritesEveryWaitingTaskThenRefuses) {
    for (const StopCase& c : draining_stops) {
        SCOPED_TRACE(std::string(c.argument) + (c.started ? " after a start" : " without a start"));
        Text run_dir;
        const HostRun run = run_stop(c, run_dir);
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0) << run.output;
        EXPECT_EQ(results_written(run_dir), stop_tasks);
        EXPECT_FALSE(file_exists(run_dir + T("late")));
        EXPECT_EQ(count_lines_with(run.output, "cVantrelExec(): Task enqueue FAILED"), 1) << run.output;
    }
}

TEST_F(Stop, NoDrainLeavesWaitingTasksAndEndsEveryWorker) {
    for (const StopCase& c : stops_without_drain) {
        SCOPED_TRACE(c.argument);
        Text run_dir;
        const HostRun run = run_stop(c, run_dir);
        ASSERT_FALSE(run.timed_out) << run.output;
        ASSERT_EQ(run.exit_code, 0) << run.output;
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
    using wintest::call_pushing;
    using wintest::slot;
    using wintest::StackCall;
    const std::wstring& dir = args.at(0);
    const std::wstring& conninfo = args.at(1);
    const Exports lib = load_library();
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
    EXPECT_EQ(run.exit_code, 0) << run.output;
    // The pushed arguments arrived where the library reads them.
    EXPECT_EQ(content("rows.txt"), "1;2");
    EXPECT_EQ(content("exec.txt"), "TRUE");
}
#endif

// ---- Load: many host threads at once ----------------------------------------------------

constexpr int host_threads = 8;
#if defined(_WIN32)
// Under Wine every file step costs a round trip to the wineserver: a quarter of the Linux
// load keeps the stage's time, and still gives each thread many turns at the queue.
constexpr int tasks_per_thread = 500;
#else
constexpr int tasks_per_thread = 2000;
#endif

std::string load_id(int thread, int task) { return std::to_string(thread) + "-" + std::to_string(task); }

VANTREL_SCENARIO(many_threads) {
    const Text& dir = args.at(0);
    const Text& conninfo = args.at(1);
    const Exports lib = load_library();
    lib.init();
    std::atomic<int> refused{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < host_threads; ++t) {
        hosts.emplace_back([&, t] {
            for (int i = 0; i < tasks_per_thread; ++i) {
                const std::string id = load_id(t, i);
                const Text sql = text("select '" + id + "', " + std::to_string(i));
                if (!lib.query(conninfo.c_str(), T(","), sql.c_str(), 30, (dir + text(id)).c_str())) ++refused;
            }
        });
    }
    for (std::thread& host : hosts) host.join();
    lib.deinit(true);
    return refused.load();
}

using Load = ServerTest;

TEST_F(Load, ManyHostThreadsEveryFileCorrect) {
    const HostRun run = run_scenario("many_threads", args(), 600);
    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.exit_code, 0) << run.output.substr(0, 4000);
    int wrong = 0;
    for (int t = 0; t < host_threads; ++t) {
        for (int i = 0; i < tasks_per_thread; ++i) {
            const std::string id = load_id(t, i);
            wrong += content(id) != id + "," + std::to_string(i);
        }
    }
    EXPECT_EQ(wrong, 0);
}

// ---- FirstConnection: fresh processes whose workers all connect at once ----------------

VANTREL_SCENARIO(connect_at_once) {
    const Text& dir = args.at(0);
    const Text& conninfo = args.at(1);
    const Exports lib = load_library();
    // More tasks than workers, queued before any worker has a session: every worker's first
    // task is a first connection, and they start together.
    const int tasks = static_cast<int>(2 * library_workers());
    for (int i = 0; i < tasks; ++i) {
        const Text sql = T("select ") + number(i);
        lib.query(conninfo.c_str(), T(";"), sql.c_str(), 30, (dir + number(i)).c_str());
    }
    lib.deinit(true);
    int wrong = 0;
    for (int i = 0; i < tasks; ++i) wrong += read_file(dir + number(i)) != std::to_string(i);
    return wrong == 0 ? 0 : 7;
}

using FirstConnection = ServerTest;

TEST_F(FirstConnection, ManyFreshProcessesConnectingAtOnceAllSucceed) {
    // A client library whose first use is not thread-safe (the earlier Windows closure's
    // libintl set-up) made 30 of 72 such processes abort.
    constexpr int processes = 24;
    constexpr int at_once = 4;
    for (int first = 0; first < processes; first += at_once) {
        std::vector<std::unique_ptr<Child>> children;
        for (int p = first; p < first + at_once; ++p) {
            const Text run_dir = host_dir + T("p") + number(p) + separator;
            make_dir(run_dir);
            children.push_back(std::make_unique<Child>("connect_at_once", Args{run_dir, text(conninfo)}));
        }
        for (std::size_t c = 0; c < children.size(); ++c) {
            const HostRun run = children[c]->wait(60);
            EXPECT_FALSE(run.timed_out) << "process " << first + static_cast<int>(c);
            // 3 is abort(), 7 a wrong result file.
            EXPECT_EQ(run.exit_code, 0) << "process " << first + static_cast<int>(c) << "\n" << run.output;
        }
    }
}

// ---- Unload: the host never stops the library, or unloads it ----------------------------

VANTREL_SCENARIO(exit_while_busy) {
    const Exports lib = load_library();
    lib.init();
    for (int i = 0; i < 200; ++i) {
        const Text path = args.at(0) + T("b") + number(i);
        lib.query(args.at(1).c_str(), T(";"), T("select pg_sleep(0.01)"), 30, path.c_str());
    }
    return 0;
}

VANTREL_SCENARIO(exit_while_idle) {
    const Exports lib = load_library();
    lib.init();
    const Text path = args.at(0) + T("idle.txt");
    lib.exec(args.at(1).c_str(), T("select 1"), 30, path.c_str());
    return wait_for_file(path, std::chrono::steady_clock::now() + std::chrono::seconds(30) * time_scale()) ? 0 : 5;
}

using Unload = ServerTest;

TEST_F(Unload, HostExitingWithoutStopEndsWithStatusZero) {
    for (const char* scenario : {"exit_while_busy", "exit_while_idle"}) {
        SCOPED_TRACE(scenario);
        const HostRun run = run_scenario(scenario, args(), 60);
        EXPECT_FALSE(run.timed_out) << run.output;
        EXPECT_EQ(run.exit_code, 0) << run.output;
#if !defined(_WIN32)
        // On Linux the exit ends the pool as a stop does, every idle worker joined; Windows ends
        // the workers with the process, under the loader lock, where nothing may be waited for.
        if (std::string(scenario) == "exit_while_idle") {
            EXPECT_EQ(count_lines_with(run.output, "worker_function(): Worker shutdown"),
                      static_cast<int>(library_workers()))
                << run.output;
        }
#endif
    }
    EXPECT_EQ(content("idle.txt"), "TRUE");
}

#if defined(_WIN32)
// FreeLibrary while the workers still run tasks: they finish them, since the library holds a
// reference of its own until the stop. Windows only: on Linux a dlclose without a stop ends the
// library (running statements cancelled, every worker joined, the queue dropped), which
// tests/fault/host_life_test.cpp checks.
VANTREL_SCENARIO(free_library_while_busy) {
    const Exports lib = load_library();
    lib.init();
    constexpr int tasks = 20;
    for (int i = 0; i < tasks; ++i) {
        const Text path = args.at(0) + T("f") + number(i);
        const Text sql = T("select pg_sleep(0.05), ") + number(i);
        if (!lib.query(args.at(1).c_str(), T(";"), sql.c_str(), 30, path.c_str())) return 3;
    }
    free_library(lib);
    for (int i = 0; i < tasks; ++i) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60) * time_scale();
        if (!wait_for_file(args.at(0) + T("f") + number(i), deadline)) return 5;
    }
    return 0;
}
#endif

// Stopped, unloaded (FreeLibrary, dlclose) and loaded again: the second load is a fresh
// library that starts over.
VANTREL_SCENARIO(reload_after_stop) {
    const Text& dir = args.at(0);
    const Text& conninfo = args.at(1);
    for (const vantrel_char* name : {T("first-load.txt"), T("second-load.txt")}) {
        const Exports lib = load_library();
        lib.init();
        if (!lib.exec(conninfo.c_str(), T("select 1"), 30, (dir + name).c_str())) return 3;
        lib.deinit(true);
        if (!free_library(lib)) return 6;
        // Unloaded for good: no reference of the library's own is left behind.
        if (library_loaded()) return 8;
    }
    return 0;
}

TEST_F(Unload, StopThenFreeLibraryUnloadsAndALaterLoadStartsAfresh) {
    const HostRun run = run_scenario("reload_after_stop", args(), 60);
    ASSERT_FALSE(run.timed_out) << run.output;
    // 8: the library was still loaded after the stop and FreeLibrary.
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(content("first-load.txt"), "TRUE");
    EXPECT_EQ(content("second-load.txt"), "TRUE");
    EXPECT_EQ(count_lines_with(run.output, "[info] cVantrelInit(): Library inirialized"), 2) << run.output;
}

#if defined(_WIN32)
TEST_F(Unload, FreeLibraryWithoutStopLetsRunningTasksFinish) {
    const HostRun run = run_scenario("free_library_while_busy", args(), 90);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(content("f" + std::to_string(i)), ";" + std::to_string(i));
}
#endif

#if defined(_WIN32)
// ---- Notices: the loader reaches DllMain with each of the four reasons ------------------
// Windows only: DllMain is the Windows loader's; the Linux load hook's notices are read in
// tests/lifecycle_test.cpp.

VANTREL_SCENARIO(notices_free_library) {
    const Exports lib = load_library(Build::debug);
    std::thread([] {}).join();
    return free_library(lib) ? 0 : 6;
}

VANTREL_SCENARIO(notices_process_exit) {
    const Exports lib = load_library(Build::debug);
    lib.init();
    const Text path = args.at(0) + T("exit.txt");
    lib.exec(args.at(1).c_str(), T("select 1"), 30, path.c_str());
    // Exits without a stop, workers running: the detach notice comes at process exit.
    return wait_for_file(path, std::chrono::steady_clock::now() + std::chrono::seconds(30) * time_scale()) ? 0 : 5;
}

std::size_t position(const std::string& text, const std::string& needle) {
    const std::size_t at = text.find(needle);
    return at == std::string::npos ? text.size() + 1 : at;
}

using Notices = ServerTest;

TEST_F(Notices, LoadThreadAndUnloadReachDllMainInOrder) {
    const HostRun run = run_scenario("notices_free_library", args(), 60);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
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
    const HostRun run = run_scenario("notices_process_exit", args(), 60);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(content("exit.txt"), "TRUE");
    // One attach per worker thread; the detach notice once, at the very end.
    EXPECT_GE(count_lines_with(run.output, "[debug] DllMain(): Thread attach"), static_cast<int>(library_workers()))
        << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[debug] DllMain(): Process detach"), 1) << run.output;
    EXPECT_GT(position(run.output, "[debug] DllMain(): Process detach"),
              position(run.output, "worker_function(): Query execution finished"))
        << run.output;
}
#endif

}  // namespace
}  // namespace vantrel::test
