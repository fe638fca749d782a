#pragma once
// The library as a host meets it, on Linux and Windows alike: loaded at run time (dlopen,
// LoadLibraryW), called through its four exports with vantrel_char text, and every scenario
// run in a fresh process, since a stopped library stays stopped for the life of its load.
// Linux forks the test program; Windows starts it again as `<program> --scenario NAME ARGS...`.
// A scenario is a named function of the test program, so a case is written once for both.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vantrel.h"

namespace vantrel::test {

using Text = std::basic_string<vantrel_char>;  // std::u16string on Linux, std::wstring on Windows
using Args = std::vector<Text>;

Text text(const std::string& utf8);  // well-formed UTF-8 only: test texts are the tests' own
std::string utf8(const Text& text);

// The four exports as a host sees them. module is the dlopen handle or the HMODULE.
struct Exports {
    void* module = nullptr;
    void(VANTREL_CALL* init)() = nullptr;
    void(VANTREL_CALL* deinit)(bool) = nullptr;
    bool(VANTREL_CALL* query)(const vantrel_char*, const vantrel_char*, const vantrel_char*,
                              std::int32_t, const vantrel_char*) = nullptr;
    bool(VANTREL_CALL* exec)(const vantrel_char*, const vantrel_char*, std::int32_t,
                             const vantrel_char*) = nullptr;
};

// plain: the library as shipped. debug: the same objects built into a library of their own
// whose log level is debug from its load on, for cases that read the debug lines.
enum class Build { plain, debug };

// Loads that build of the library by its full path. A missing library or export ends the
// process with exit code 90 or 91 and a message on standard error.
Exports load_library(Build build = Build::plain);
// dlclose / FreeLibrary: true when the system accepted it.
bool free_library(const Exports& exports);
// True while a library of that build is loaded in this process (by its name, without loading it).
bool library_loaded(Build build = Build::plain);

struct HostRun {
    int exit_code = -1;      // the child's exit status; -1 when it did not exit normally
    bool timed_out = false;  // ended after the time limit
    std::string output;      // everything the child wrote to standard output and error
};

// A scenario returns the child's exit status, passed to exit() so the library's process-exit
// path runs as at a real host's end.
using Scenario = int (*)(const Args& args);

struct ScenarioRegistration {
    ScenarioRegistration(const char* name, Scenario scenario);
};

#define VANTREL_SCENARIO(name)                                                          \
    int scenario_##name(const ::vantrel::test::Args& args);                             \
    const ::vantrel::test::ScenarioRegistration registration_##name(#name, scenario_##name); \
    int scenario_##name([[maybe_unused]] const ::vantrel::test::Args& args)

// A scenario running in a child process; several may run at once.
class Child {
public:
    Child(const std::string& scenario, const Args& args);
#if !defined(_WIN32)
    explicit Child(const std::function<int()>& body);  // a forked child runs body
#endif
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits up to timeout_seconds times time_scale(); on time-out the child is ended.
    HostRun wait(int timeout_seconds);

    struct Process;

private:
    std::unique_ptr<Process> process;
};

HostRun run_scenario(const std::string& scenario, const Args& args, int timeout_seconds = 120);

// Runs the scenario a `--scenario` child was started for; false when this is no such child.
bool run_scenario_child(int& exit_code);

// This process's memory in KiB, for scenarios that measure what the library keeps: the resident
// size now (Linux: /proc/self/statm; Windows: the working set) and its highest so far (VmHWM;
// PeakWorkingSetSize). reset_peak_resident() lowers the peak to the present size; false where
// that cannot be done (Windows keeps the peak from the process's start, so a peak read there
// is an upper bound of what came after the reading before it).
long resident_kib();
long peak_resident_kib();
bool reset_peak_resident();

// Bytes the C heap has handed out and not had back, in KiB (glibc's mallinfo2 on Linux; the
// busy blocks of every heap of the process on Windows).
double heap_in_use_kib();

// The factor every fixed wait of the host suites is stretched by: VANTREL_TEST_TIME_SCALE, for
// runs under slow emulation (1 when unset). Only how long a test waits changes, never what it checks.
unsigned time_scale();

// main() of a host-level test program: runs a `--scenario` child's scenario, or else the
// GoogleTest cases, printing "host-level cases run: N" before them (scripts/run-ctest.sh adds
// these up into the stage's count).
int host_main(int argc, char** argv);

}  // namespace vantrel::test
