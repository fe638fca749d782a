// A session against the throwaway server: every form of the outcome text, byte for byte.

#include "exec/connection.h"

#include <gtest/gtest.h>

#include "support/pg_server.h"
#include "support/silent_listener.h"

namespace vantrel {
namespace {

using test::query_one;
using test::test_conninfo;

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
    };
    for (const Outcome& c : cases) {
        EXPECT_EQ(connection.execute(c.query, c.sep, 30, c.drop), c.expected) << c.query;
    }
}

// Counts how often rows already passed on were dropped: a failure part-way can only replace
// rows that were streamed before it.
struct RecordingSink final : OutcomeSink {
    using OutcomeSink::append;
    void append(const char* data, std::size_t size) override { text.append(data, size); }
    void clear() override {
        if (!text.empty()) ++dropped;
        text.clear();
    }
    std::string text;
    int dropped = 0;
};

TEST(Connection, RowsArriveOneByOneAndAFailurePartWayLeavesOnlyTheError) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    std::string expected;
    for (int i = 1; i <= 20000; ++i) expected += (i > 1 ? "\n" : "") + std::to_string(i) + ";r";
    RecordingSink rows;
    connection.execute("select i, 'r' from generate_series(1, 20000) i", ";", 30, false, rows);
    EXPECT_EQ(rows.text, expected);

    RecordingSink failing;
    connection.execute("select case when i < 5000 then i else 1 / (i - 5000) end "
                       "from generate_series(1, 10000) i",
                       ";", 30, false, failing);
    EXPECT_EQ(failing.text, "ERROR:  division by zero\n");
    EXPECT_EQ(failing.dropped, 1) << "the rows were held back until the statement ended";
    EXPECT_EQ(connection.execute("select 7", ";", 30, false), "7");
}

TEST(Connection, CopyStatementGivesAnEmptyOutcomeAndTheSessionGoesOn) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    EXPECT_EQ(connection.execute("copy (select 1) to stdout", ";", 30, false), "");
    EXPECT_EQ(connection.execute("select 7", ";", 30, false), "7");
}

TEST(Connection, FailedStatementGivesTheServersErrorText) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    const std::string missing = "ERROR:  relation \"no_such_table\" does not exist\n";
    EXPECT_EQ(connection.execute("select * from no_such_table", ";", 30, false).rfind(missing, 0), 0u);
    EXPECT_EQ(connection.execute("select * from no_such_table", ";", 30, true).rfind(missing, 0), 0u);
    EXPECT_EQ(connection.execute("selec 1", ";", 30, true).rfind("ERROR:  syntax error", 0), 0u);
    // The session stays usable after a failed statement.
    EXPECT_EQ(connection.execute("select 7", ";", 30, false), "7");
}

TEST(Connection, EmptyQueryFailsInBothModes) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    EXPECT_NE(connection.execute("", ";", 30, true), "TRUE");
    EXPECT_EQ(connection.execute("", ";", 30, true), connection.execute("", ";", 30, false));
}

TEST(Connection, StatementTimeoutReachesTheServerInMilliseconds) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    EXPECT_EQ(connection.execute("show statement_timeout", ";", 5, false), "5s");
    EXPECT_EQ(connection.execute("show statement_timeout", ";", 0, false), "0");
    EXPECT_EQ(connection.execute("show statement_timeout", ";", 2147483, false), "2147483s");
    const std::string refused = "ERROR: Failed to set timeout: ERROR:  ";
    EXPECT_EQ(connection.execute("select 1", ";", -1, false).rfind(refused, 0), 0u);
    // 4294968 s is 4294968000 ms: out of the server's range, not wrapped to 704 ms.
    EXPECT_EQ(connection.execute("select 1", ";", 4294968, false).rfind(refused, 0), 0u);
    EXPECT_EQ(connection.execute("select 1", ";", INT32_MAX, true).rfind(refused, 0), 0u);
    EXPECT_EQ(connection.execute("select 1", ";", INT32_MIN, true).rfind(refused, 0), 0u);
}

TEST(Connection, StatementOutlivingItsTimeoutIsCancelled) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    EXPECT_EQ(connection.execute("select pg_sleep(5)", ";", 1, false),
              "ERROR:  canceling statement due to statement timeout\n");
    EXPECT_EQ(connection.execute("select pg_sleep(5)", ";", 1, true),
              "ERROR:  canceling statement due to statement timeout\n");
}

TEST(Connection, TerminatedSessionFailsAtTheTimeoutAndIsNoLongerConnected) {
    VANTREL_REQUIRE_SERVER();
    Connection connection(test_conninfo());
    const std::string pid = connection.execute("select pg_backend_pid()", ";", 30, false);
    ASSERT_EQ(query_one(test_conninfo(), "select pg_terminate_backend(" + pid + ")"), "t");
    const std::string outcome = connection.execute("select 1", ";", 30, false);
    EXPECT_EQ(outcome.rfind("ERROR: Failed to set timeout: ", 0), 0u) << outcome;
    EXPECT_FALSE(connection.connected());
    // Not connected: the stored failure comes back and nothing is sent.
    EXPECT_EQ(connection.execute("select 1", ";", 30, true), outcome);
    EXPECT_TRUE(connection.connect(test_conninfo()));
    EXPECT_EQ(connection.execute("select 1", ";", 30, false), "1");
}

TEST(Connection, UnreachableServerGivesTheConnectionErrorText) {
    std::string conninfo;
    {
        test::SilentListener listener;  // a port that is ours, then closed: nothing listens
        conninfo = listener.conninfo();
    }
    Connection connection(conninfo);
    EXPECT_FALSE(connection.connected());
    const std::string outcome = connection.execute("select 1", ";", 30, false);
    EXPECT_EQ(outcome.rfind("connection to server at \"127.0.0.1\", port ", 0), 0u) << outcome;
    EXPECT_NE(outcome.find("Connection refused"), std::string::npos) << outcome;
    EXPECT_EQ(connection.execute("select 1", ";", 30, true), outcome);
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
