// Statements as every build runs them: the host's text reaches the server, the file and the
// log exactly as written, never read as a format string; and a statement past its time
// budget is ended by the server at that budget, whatever it was doing.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/host_files.h"
#include "support/host_library.h"
#include "support/host_side.h"
#include "support/server_test.h"

#define T(literal) VANTREL_TEXT(literal)

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;

using Statements = ServerTest;

// Text that a format call would read as its fields, in the formats of fmt and of printf.
const std::string format_fields = "{} {0} {:>10} {:%Y} %s%n%x%p %% {{}}";
const std::string odd_name = "out {}%s%n.txt";
// Meant to fail: the folder is not there (on Windows the name itself is refused too).
const std::string missing_folder_file = "no dir " + format_fields + "/x";

// dir, conninfo, the file names above as the host passes them.
VANTREL_SCENARIO(statements_format_fields) {
    const Exports lib = load_library(Build::debug);
    const Text& conninfo = args.at(1);
    const Text fields = text(format_fields);
    const Text sql = text("select '" + format_fields + "'");
    const Text failing = text("select * from \"" + format_fields + "\"");
    const bool ok = lib.query(conninfo.c_str(), fields.c_str(), text("select '" + format_fields + "', 2").c_str(), 30,
                              args.at(2).c_str()) &&
                    lib.query(conninfo.c_str(), T(";"), sql.c_str(), 30, (args.at(0) + T("value")).c_str()) &&
                    lib.exec(conninfo.c_str(), failing.c_str(), 30, (args.at(0) + T("error")).c_str()) &&
                    lib.query(conninfo.c_str(), T(";"), sql.c_str(), 30, args.at(3).c_str());
    lib.deinit(true);
    return ok ? 0 : 3;
}

TEST_F(Statements, UserTextIsNeverAFormatString) {
    const std::string session = conninfo + " application_name='" + format_fields + "'";
    const HostRun run = run_scenario("statements_format_fields",
                                     {host_dir, text(session), file(odd_name), file(missing_folder_file)});
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(content(odd_name), format_fields + format_fields + "2");
    EXPECT_EQ(content("value"), format_fields);
    const std::string error = content("error");
    EXPECT_EQ(error.rfind("ERROR:  relation \"" + format_fields + "\" does not exist\r\n", 0), 0u) << error;
    EXPECT_NE(error.find("LINE 1: select * from \"" + format_fields + "\"\r\n"), std::string::npos) << error;
    // The log shows the user's text as it is, wherever it appears.
    const std::string& out = run.output;
    EXPECT_EQ(count_lines_with(out, "Enqueue task {\"query\":\"select '" + format_fields + "'\""), 2) << out;
    EXPECT_EQ(count_lines_with(out, "\"sep\":\"" + format_fields + "\""), 2);
    EXPECT_EQ(count_lines_with(out, "\"path\":\"" + described(utf8(file(odd_name))) + "\""), 2);
    // One line per worker that met the connection string, each with the text intact.
    const int constructed = count_lines_with(out, "Connection constructed: ");
    EXPECT_GE(constructed, 1);
    EXPECT_EQ(count_lines_with(out, "Connection constructed: " + session), constructed) << out;
    EXPECT_EQ(count_lines_with(out, "Can`t write results to file \"" + utf8(file(missing_folder_file)) + "\""), 1)
        << out;
    EXPECT_NE(out.find("Result:\n'''" + format_fields + "'''"), std::string::npos);
}

// Half of the workers sleep, half burn the server's processor, each with a budget of 1 s; then
// the same workers take one more task each. dir, conninfo.
VANTREL_SCENARIO(statements_past_budget) {
    const Exports lib = load_library();
    const Text& dir = args.at(0);
    const unsigned workers = library_workers();
    const auto start = Clock::now();
    for (unsigned i = 0; i < workers; ++i) {
        const vantrel_char* sql = i % 2 ? T("select count(*) from generate_series(1, 10000000000)")
                                        : T("select pg_sleep(120)");
        lib.query(args.at(1).c_str(), T(";"), sql, 1, (dir + T("slow") + text(std::to_string(i))).c_str());
    }
    // Well before the statements could end on their own.
    for (unsigned i = 0; i < workers; ++i) {
        if (!wait_for_file(dir + T("slow") + text(std::to_string(i)), start + std::chrono::seconds(60) * time_scale())) {
            return 4;
        }
    }
    std::printf("statements of 120 s and unbounded CPU with a 1 s budget ended after %.2f s\n",
                std::chrono::duration<double>(Clock::now() - start).count());
    for (unsigned i = 0; i < workers; ++i) {
        lib.query(args.at(1).c_str(), T(";"), T("select 7"), 1, (dir + T("next") + text(std::to_string(i))).c_str());
    }
    lib.deinit(true);
    return 0;
}

TEST_F(Statements, StatementPastItsTimeoutEndsAtTheTimeout) {
    const HostRun run = run_scenario("statements_past_budget", args(), 120);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_NE(run.exit_code, 4) << "the statements were not ended within 60 s\n" << run.output;
    ASSERT_EQ(run.exit_code, 0) << run.output;
    // The server's own text: the timeout, and nothing else, ended them.
    for (unsigned i = 0; i < library_workers(); ++i) {
        EXPECT_EQ(content("slow" + std::to_string(i)), "ERROR:  canceling statement due to statement timeout\r\n");
        EXPECT_EQ(content("next" + std::to_string(i)), "7");
    }
    const std::size_t figure = run.output.find("statements of 120 s");
    if (figure != std::string::npos) std::printf("%s", run.output.substr(figure, run.output.find('\n', figure) - figure + 1).c_str());
}

}  // namespace
}  // namespace vantrel::test
