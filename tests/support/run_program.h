#pragma once
// Helper programs (the cluster and pooler scripts, valgrind) started with an argument vector:
// no shell reads the arguments, so folders with spaces or quotes pass through as they are.

#include <string>
#include <vector>

namespace vantrel::test {

// Where the program's standard output goes, and whether its standard error goes there too
// (otherwise it stays the test's own, so that a failing script's reason reaches the test log).
struct ProgramOutput {
    std::string path = "/dev/null";
    bool with_errors = false;
};

// Runs arguments[0] (searched on PATH) with the rest as its arguments and waits for it.
// Returns its exit status, or -1 when it was ended by a signal. Throws std::runtime_error
// when it cannot be started.
int run_program(const std::vector<std::string>& arguments, const ProgramOutput& output = {});

// run_program that also throws when the status is not 0, naming the command.
void run_program_or_throw(const std::vector<std::string>& arguments, const ProgramOutput& output = {});

// Whether program is an executable file on PATH.
bool on_path(const std::string& program);

}  // namespace vantrel::test
