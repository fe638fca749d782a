#pragma once
// Runs a scenario in a child process, so each one meets a freshly loaded library (its
// stopped state is final for the life of the load), with standard output captured. Linux
// only: the scenario is a closure the forked child runs; support/host_library.h has the
// named scenarios that run on every platform.

#include <chrono>
#include <functional>
#include <string>

#include "support/files.h"
#include "support/host_library.h"
#include "support/host_side.h"
#include "vantrel.h"

namespace vantrel::test {

// The child loads the built library with dlopen, runs scenario, and exits with its result
// through exit(), so the library's unload handlers run as at a real host's end. Throws
// std::runtime_error when the child cannot be started or waited for.
HostRun run_host(const std::function<int(const Exports&)>& scenario, int timeout_seconds = 120);

// The child uses the library code linked into the test binary, with the default logger at
// debug level, so the library's debug lines are captured too.
HostRun run_linked(const std::function<int()>& scenario, int timeout_seconds = 120);

bool file_exists(const std::string& path);

// Polls predicate until it holds (true) or the limit passes (false). Callers fail the test on
// false: a wait that ran out means the step it waited for never came.
bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds limit);

// Seconds from start until now, for figures and messages.
double seconds_since(std::chrono::steady_clock::time_point start);

// A fresh empty directory under the system's temporary folder.
std::string make_temp_dir();

}  // namespace vantrel::test
