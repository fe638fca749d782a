#pragma once
// The throwaway PostgreSQL server that scripts/pg-cluster.sh runs for the tests, and a
// minimal libpq client to check things on it independently of the library under test.
//
// Where the server is: support/test_server.h. Environment:
//   VANTREL_PG_SCRIPT      path of scripts/pg-cluster.sh, for restart_ and stop_test_server()
// When it is unset, the compile definition VANTREL_PG_SCRIPT_PATH (a string literal), if
// given, stands in for it.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "exec/pg_handles.h"
#include "support/test_server.h"

namespace vantrel::test {

// `<script> restart <test_pg_dir()>`: fast restart of the test server on the same port; returns
// once it accepts connections. `<script> pause <test_pg_dir()>`: fast shutdown, until the next
// restart. Both throw std::runtime_error when the script or folder is unknown or the step fails.
void restart_test_server();
void stop_test_server();

// Opens a session, runs sql and returns the first column of the first row ("" for SQL NULL).
// Throws std::runtime_error with libpq's message on connection or query failure, and when the
// statement returns no row.
std::string query_one(const std::string& conninfo, const std::string& sql);

// One libpq session held for the whole test: for checks that must not open sessions of their
// own, and for locks the test holds. Throws std::runtime_error with the server's text.
class AdminSession {
public:
    explicit AdminSession(const std::string& conninfo);
    void run(const std::string& sql);
    std::string value(const std::string& sql);  // first column of the first row
    long number(const std::string& sql) { return std::stol(value(sql)); }
    std::vector<std::string> column(const std::string& sql);  // first column of every row

private:
    SessionHandle session;
};

// An advisory lock the test holds in a session of its own. A task whose statement is gated()
// waits on the server until the test opens the gate, and the waiting sessions are counted on
// the server: the test knows, without guessing with a sleep, that every worker is inside its
// task.
class AdvisoryGate {
public:
    AdvisoryGate(const std::string& conninfo, int key);  // closed: the lock is taken here
    // "select <columns> from pg_advisory_xact_lock_shared(<key>)": the columns, once open.
    std::string gated(const std::string& columns) const;
    // True once count sessions wait for the gate; false after the limit.
    bool wait_for_waiting(long count, std::chrono::seconds limit);
    void open();

private:
    AdminSession session;
    int key;
};

// One task on each of workers workers: submit(i, sql) submits task i, whose sql is prefix
// followed by a statement that waits at a gate (advisory lock key) until all workers wait
// there, so each of them has run prefix. The gate is opened in any case; false when the
// workers did not all arrive within limit.
bool on_every_worker(const std::string& conninfo, int key, unsigned workers, const std::string& prefix,
                     const std::function<void(unsigned, const std::string&)>& submit,
                     std::chrono::seconds limit = std::chrono::seconds(30));

}  // namespace vantrel::test

// At the top of a TEST body: skips the test when there is no server to talk to.
#define VANTREL_REQUIRE_SERVER()                                   \
    do {                                                           \
        if (::vantrel::test::test_conninfo().empty()) {            \
            GTEST_SKIP() << "no test server";                      \
        }                                                          \
    } while (false)
