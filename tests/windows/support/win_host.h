#pragma once
// Host-side helpers for the Windows tests: the library loaded the way a host loads it
// (LoadLibraryW and GetProcAddress, wchar_t strings), scenarios run in fresh processes of the
// test program itself, and small file utilities over wide paths.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/host_side.h"
#include "vantrel.h"

namespace vantrel::wintest {

using Args = std::vector<std::wstring>;

// The four exports as a host sees them.
struct Exports {
    HMODULE module = nullptr;
    void(VANTREL_CALL* init)() = nullptr;
    void(VANTREL_CALL* deinit)(bool) = nullptr;
    bool(VANTREL_CALL* query)(const wchar_t*, const wchar_t*, const wchar_t*, std::int32_t,
                              const wchar_t*) = nullptr;
    bool(VANTREL_CALL* exec)(const wchar_t*, const wchar_t*, std::int32_t,
                             const wchar_t*) = nullptr;
};

// Loads the DLL of that name from this program's folder by its full path. A missing DLL or
// export ends the process with exit code 90 or 91 and a message on standard error.
Exports load_library(const std::wstring& dll_name);

// The result of a scenario run in a child process.
struct HostRun {
    unsigned long exit_code = 0;
    bool timed_out = false;
    std::string output;  // the child's standard output and error, interleaved
};

// A scenario is a function of this program, run in a fresh process as
// `<program> --scenario NAME ARGS...`; its return value becomes the exit status (through
// exit(), so the library's process-exit path runs as at a real host's end).
using Scenario = int (*)(const Args& args);

struct ScenarioRegistration {
    ScenarioRegistration(const char* name, Scenario scenario);
};

#define VANTREL_SCENARIO(name)                                                        \
    int scenario_##name(const ::vantrel::wintest::Args& args);                        \
    const ::vantrel::wintest::ScenarioRegistration registration_##name(#name,         \
                                                                       scenario_##name); \
    int scenario_##name([[maybe_unused]] const ::vantrel::wintest::Args& args)

// A running child process of this program.
class Child {
public:
    Child(const std::string& scenario, const Args& args);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits up to timeout_ms times time_scale(); on time-out the child is terminated.
    HostRun wait(unsigned long timeout_ms);

private:
    PROCESS_INFORMATION process{};
    std::wstring output_path;
    bool waited = false;
};

HostRun run_scenario(const std::string& scenario, const Args& args, unsigned long timeout_ms = 120000);

// Dispatches `--scenario` runs, otherwise runs the GoogleTest cases.
int test_main(int argc, char** argv);

// The test server's connection string: VANTREL_TEST_CONNINFO, else the conninfo file in the
// folder VANTREL_TEST_PG_DIR; "" when neither is set.
std::string test_conninfo();

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

// The folder this program lives in, with a trailing backslash.
std::wstring program_dir();

// A fresh empty folder under the user's temporary folder.
std::wstring make_temp_dir();
void remove_tree(const std::wstring& dir);

std::string read_file(const std::wstring& path);
bool file_exists(const std::wstring& path);
void write_file(const std::wstring& path, const std::string& content);

// Names in dir (not recursive) that start with prefix.
std::vector<std::wstring> names_starting_with(const std::wstring& dir, const std::wstring& prefix);

// True under Wine, whose ntdll exports its version.
bool running_under_wine();

// Shared with the Linux tests and the bench (tests/support/host_side.h).
using test::count_lines_with;
using test::library_workers;
using test::wait_for_file;

// The factor every fixed wait of the suite is stretched by: VANTREL_TEST_TIME_SCALE, for runs
// under slow emulation (1 when unset). Only how long a test waits changes, never what it checks.
unsigned time_scale();

}  // namespace vantrel::wintest
