#pragma once
// The throwaway PostgreSQL server that scripts/pg-cluster.sh runs for the tests, and a
// minimal libpq client to check things on it independently of the library under test.
//
// Environment:
//   VANTREL_TEST_CONNINFO  connection string to use (wins over the folder)
//   VANTREL_TEST_PG_DIR    the cluster folder; its conninfo file is read when the above is unset
//   VANTREL_PG_SCRIPT      path of scripts/pg-cluster.sh, for restart_test_server()
// When a variable is unset, the compile definitions VANTREL_TEST_PG_DIR_PATH and
// VANTREL_PG_SCRIPT_PATH (string literals), if given, stand in for the last two.

#include <gtest/gtest.h>

#include <string>

namespace vantrel::test {

// The test server's connection string, or "" when no server was set up (callers skip then):
// VANTREL_TEST_CONNINFO, else the conninfo file in test_pg_dir().
std::string test_conninfo();

// The cluster folder (VANTREL_TEST_PG_DIR, else VANTREL_TEST_PG_DIR_PATH), or "".
std::string test_pg_dir();

// Fast restart of the test server on the same port with `<script> restart <test_pg_dir()>`;
// returns once it accepts connections.
// Throws std::runtime_error when the script or folder is unknown or the restart fails.
void restart_test_server();

// Opens a session, runs sql and returns the first column of the first row ("" for SQL NULL).
// Throws std::runtime_error with libpq's message on connection or query failure, and when the
// statement returns no row.
std::string query_one(const std::string& conninfo, const std::string& sql);

}  // namespace vantrel::test

// At the top of a TEST body: skips the test when there is no server to talk to.
#define VANTREL_REQUIRE_SERVER()                                   \
    do {                                                           \
        if (::vantrel::test::test_conninfo().empty()) {            \
            GTEST_SKIP() << "no test server";                      \
        }                                                          \
    } while (false)
