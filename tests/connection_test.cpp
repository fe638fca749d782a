// A session against the throwaway server: every form of the outcome text, byte for byte.

#include "exec/connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/silent_listener.h"

namespace vantrel {
namespace {

using test::query_one;
using test::test_conninfo;

// Collects an outcome and counts how often rows already passed on were dropped: a failure
// part-way can only replace rows that were streamed before it.
struct Recording {
    std::string text;
    int dropped = 0;

    OutcomeSink sink() {
        return {[this](std::string_view piece) { text.append(piece); },
                [this] {
                    if (!text.empty()) ++dropped;
                    text.clear();
                }};
    }
};

// The outcome text of one statement, collected whole.
std::string outcome(Connection& connection, const std::string& query, const std::string& sep,
                    std::int32_t time, bool drop) {
    Recording recording;
    connection.execute(query, sep, time, drop, recording.sink());
    return recording.text;
}

struct Outcome {
    const char* query;
    const char* sep;
    bool drop;
    std::string expected;
};

TEST(Connection, OutcomeTextOfEachStatementForm) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    ASSERT_TRUE(connection.connected());
    const Outcome cases[] = {
        {"select 1, 'a' union all select 2, 'b' order by 1", "\xe2\x82\xac", false,
         "1\xe2\x82\xac" "a\n2\xe2\x82\xac" "b"},
        {"select 1, null::text, 'x'", ";", false, "1;;x"},
        {"select 'a', 'b'", "", false, "ab"},
        {"select 'a;b', E'two\\nlines', E'cr\\r\\nlf'", ";", false, "a;b;two\nlines;cr\r\nlf"},
        {"select from generate_series(1, 3)", ";", false, "\n\n"},
        {"select 1 where false", ";", false, ""},
        {"create temp table if not exists scratch(x int)", ";", false, ""},
        {"insert into scratch values (1), (2)", ";", false, ""},
        {"select 1; select 2, 3", ",", false, "2,3"},
        {"select 1 from generate_series(1, 3); select 1/0", ";", false, "ERROR:  division by zero\n"},
        {"select 1 from generate_series(1, 3); create temp table if not exists s2(x int)", ";", false, ""},
        {"select 1/0; select 2", ";", false, "ERROR:  division by zero\n"},
        {"select x from scratch order by x", ";", true, "TRUE"},
        {"update scratch set x = x + 1", ";", true, "TRUE"},
        // Rows wanted by nobody are read and dropped; the outcome is that of the last result.
        {"select 1; select 2, 3", ",", true, "TRUE"},
        {"select 1 from generate_series(1, 3); select 1/0", ";", true, "ERROR:  division by zero\n"},
        {"select 1/0; select 2", ";", true, "ERROR:  division by zero\n"},
        {"select case when i < 5000 then i else 1 / (i - 5000) end from generate_series(1, 10000) i", ";",
         true, "ERROR:  division by zero\n"},
        {"select 1 from generate_series(1, 3); create temp table if not exists s3(x int)", ";", true, "TRUE"},
    };
    for (const Outcome& c : cases) {
        EXPECT_EQ(outcome(connection, c.query, c.sep, 30, c.drop), c.expected) << c.query;
    }
}

TEST(Connection, RowsArriveOneByOneAndAFailurePartWayLeavesOnlyTheError) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    std::string expected;
    for (int i = 1; i <= 20000; ++i) expected += (i > 1 ? "\n" : "") + std::to_string(i) + ";r";
    Recording rows;
    connection.execute("select i, 'r' from generate_series(1, 20000) i", ";", 30, false, rows.sink());
    EXPECT_EQ(rows.text, expected);

    Recording failing;
    connection.execute("select case when i < 5000 then i else 1 / (i - 5000) end "
                       "from generate_series(1, 10000) i",
                       ";", 30, false, failing.sink());
    EXPECT_EQ(failing.text, "ERROR:  division by zero\n");
    EXPECT_EQ(failing.dropped, 1) << "the rows were held back until the statement ended";
    EXPECT_EQ(outcome(connection, "select 7", ";", 30, false), "7");
}

TEST(Connection, CopyStatementGivesAnEmptyOutcomeAndTheSessionGoesOn) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    EXPECT_EQ(outcome(connection, "copy (select 1) to stdout", ";", 30, false), "");
    EXPECT_EQ(outcome(connection, "select 7", ";", 30, false), "7");
}

TEST(Connection, FailedStatementGivesTheServersErrorText) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    const std::string missing = "ERROR:  relation \"no_such_table\" does not exist\n";
    EXPECT_EQ(outcome(connection, "select * from no_such_table", ";", 30, false).rfind(missing, 0), 0u);
    EXPECT_EQ(outcome(connection, "select * from no_such_table", ";", 30, true).rfind(missing, 0), 0u);
    EXPECT_EQ(outcome(connection, "selec 1", ";", 30, true).rfind("ERROR:  syntax error", 0), 0u);
    // The session stays usable after a failed statement.
    EXPECT_EQ(outcome(connection, "select 7", ";", 30, false), "7");
}

TEST(Connection, EmptyQueryFailsInBothModes) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    EXPECT_NE(outcome(connection, "", ";", 30, true), "TRUE");
    EXPECT_EQ(outcome(connection, "", ";", 30, true), outcome(connection, "", ";", 30, false));
}

TEST(Connection, StatementTimeoutReachesTheServerInMilliseconds) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    EXPECT_EQ(outcome(connection, "show statement_timeout", ";", 5, false), "5s");
    EXPECT_EQ(outcome(connection, "show statement_timeout", ";", 0, false), "0");
    EXPECT_EQ(outcome(connection, "show statement_timeout", ";", 2147483, false), "2147483s");
    const std::string refused = "ERROR: Failed to set timeout: ERROR:  ";
    EXPECT_EQ(outcome(connection, "select 1", ";", -1, false).rfind(refused, 0), 0u);
    // 4294968 s is 4294968000 ms: out of the server's range, not wrapped to 704 ms.
    EXPECT_EQ(outcome(connection, "select 1", ";", 4294968, false).rfind(refused, 0), 0u);
    EXPECT_EQ(outcome(connection, "select 1", ";", INT32_MAX, true).rfind(refused, 0), 0u);
    EXPECT_EQ(outcome(connection, "select 1", ";", INT32_MIN, true).rfind(refused, 0), 0u);
}

TEST(Connection, StatementOutlivingItsTimeoutIsCancelled) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    EXPECT_EQ(outcome(connection, "select pg_sleep(5)", ";", 1, false),
              "ERROR:  canceling statement due to statement timeout\n");
    EXPECT_EQ(outcome(connection, "select pg_sleep(5)", ";", 1, true),
              "ERROR:  canceling statement due to statement timeout\n");
}

// libpq refuses to send a statement text past its 2 GiB message limit: the statement is never
// run, and the outcome says why instead of reading as "no rows" or "TRUE".
TEST(Connection, StatementLibpqCannotSendGivesItsErrorTextInBothModes) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    const std::string too_long(std::size_t{1} << 31, ' ');
    const std::string refusal = "cannot allocate memory for output buffer\n";
    EXPECT_EQ(outcome(connection, too_long, ";", 30, false), refusal);
    EXPECT_EQ(outcome(connection, too_long, ";", 30, true), refusal);
    EXPECT_EQ(outcome(connection, "select 7", ";", 30, false), "7");
}

// The server closed the session while it was idle: the timeout statement finds it closed, and
// the task runs on a new session.
TEST(Connection, SessionClosedBetweenTasksIsReopenedForTheTask) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    for (const bool drop : {false, true}) {
        const std::string pid = outcome(connection, "select pg_backend_pid()", ";", 30, false);
        ASSERT_EQ(query_one(test_conninfo(), "select pg_terminate_backend(" + pid + ")"), "t");
        EXPECT_EQ(outcome(connection, "select 1", ";", 30, drop), drop ? "TRUE" : "1");
        EXPECT_TRUE(connection.connected());
        EXPECT_NE(outcome(connection, "select pg_backend_pid()", ";", 30, false), pid);
    }
}

// A session lost while the task's statement runs: the statement may have done its work, so it
// is not sent again, and its outcome is libpq's text for the loss.
TEST(Connection, StatementWhoseSessionIsLostIsNotSentAgain) {
    VANTREL_REQUIRE_SERVER();
    test::AdminSession admin(test_conninfo());
    const std::string application = "vantrel_sent_once";
    const std::string running = "select count(*) from pg_stat_activity where state = 'active' and application_name = '" +
                                application + "'";
    const std::string conninfo = test_conninfo() + " application_name=" + application;
    Connection connection(conninfo);
    for (const bool drop : {false, true}) {
        admin.run("create sequence sent_once");
        std::string lost;
        std::thread task([&] {
            lost = outcome(connection, "select nextval('sent_once'), pg_sleep(60)", ";", 0, drop);
        });
        const bool started = test::wait_until([&] { return admin.number(running) == 1; }, std::chrono::seconds(30));
        admin.run("select pg_terminate_backend(pid) from pg_stat_activity where application_name = '" + application + "'");
        task.join();
        ASSERT_TRUE(started);
        // The server's last word, or only libpq's, as the loss happened to arrive.
        EXPECT_TRUE(lost.rfind("FATAL:  terminating connection due to administrator command", 0) == 0 ||
                    lost.rfind("server closed the connection unexpectedly", 0) == 0)
            << lost;
        EXPECT_EQ(admin.value("select last_value from sent_once"), "1");
        admin.run("drop sequence sent_once");
        // The worker reconnects before the next task.
        EXPECT_FALSE(connection.connected());
        ASSERT_TRUE(connection.connect(conninfo));
        EXPECT_EQ(outcome(connection, "select 7", ";", 30, drop), drop ? "TRUE" : "7");
    }
}

TEST(Connection, UnreachableServerGivesTheConnectionErrorText) {
    std::string conninfo;
    {
        test::SilentListener listener;  // a port that is ours, then closed: nothing listens
        conninfo = listener.conninfo();
    }
    Connection connection(conninfo);
    EXPECT_FALSE(connection.connected());
    const std::string refused = outcome(connection, "select 1", ";", 30, false);
    EXPECT_EQ(refused.rfind("connection to server at \"127.0.0.1\", port ", 0), 0u) << refused;
    EXPECT_NE(refused.find("Connection refused"), std::string::npos) << refused;
    EXPECT_EQ(outcome(connection, "select 1", ";", 30, true), refused);
    EXPECT_FALSE(connection.connect(conninfo));
}

TEST(Connection, AnnouncesItselfWithoutThePassword) {
    testing::internal::CaptureStdout();
    {
        Connection connection("host=/nonexistent user=u password=Sup3rSecretPw dbname=d");
    }
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(output,
              "Connection constructed: host=/nonexistent user=u password=******** dbname=d\n"
              "Connection destructed.\n");
}

}  // namespace
}  // namespace vantrel
