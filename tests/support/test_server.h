#pragma once
// Where the throwaway PostgreSQL server of the tests is, on Linux and Windows alike.
//
// Environment:
//   VANTREL_TEST_CONNINFO  connection string to use (wins over the folder)
//   VANTREL_TEST_PG_DIR    the cluster folder; its conninfo file is read when the above is unset
// When VANTREL_TEST_PG_DIR is unset, the compile definition VANTREL_TEST_PG_DIR_PATH (a string
// literal), if given, stands in for it.

#include <string>

namespace vantrel::test {

// The test server's connection string, or "" when no server was set up:
// VANTREL_TEST_CONNINFO, else the conninfo file in test_pg_dir().
std::string test_conninfo();

// The cluster folder (VANTREL_TEST_PG_DIR, else VANTREL_TEST_PG_DIR_PATH), or "".
std::string test_pg_dir();

// The environment's value of name where it is set and not empty, else fallback.
std::string env_or(const char* name, const char* fallback = "");

// text without the blanks and line ends around it (libpq's messages end in a line feed).
std::string trim(std::string text);

}  // namespace vantrel::test
