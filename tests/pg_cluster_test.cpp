// The throwaway server the other tests rely on: reachable, and restartable on the same port.

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "support/pg_server.h"

namespace vantrel::test {
namespace {

TEST(PgCluster, AnswersSelectOne) {
    VANTREL_REQUIRE_SERVER();
    EXPECT_EQ(query_one(test_conninfo(), "select 1"), "1");
}

TEST(PgCluster, ListensOnLoopbackOnly) {
    VANTREL_REQUIRE_SERVER();
    EXPECT_EQ(query_one(test_conninfo(), "show listen_addresses"), "127.0.0.1");
    EXPECT_EQ(query_one(test_conninfo(), "select inet_server_addr()::text"), "127.0.0.1/32");
}

TEST(PgCluster, ReportsQueryErrorsWithServerText) {
    VANTREL_REQUIRE_SERVER();
    try {
        query_one(test_conninfo(), "select * from no_such_table_here");
        FAIL() << "expected an error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("no_such_table_here"), std::string::npos)
            << error.what();
    }
}

TEST(PgCluster, RestartKeepsPortAndServesFreshSessions) {
    VANTREL_REQUIRE_SERVER();
    if (test_pg_dir().empty()) GTEST_SKIP() << "no cluster folder to restart";
    const std::string conninfo = test_conninfo();
    const std::string port_before = query_one(conninfo, "select current_setting('port')");
    const std::string started_before = query_one(conninfo, "select pg_postmaster_start_time()::text");

    restart_test_server();

    // A fresh session on the unchanged connection string proves the port stayed.
    EXPECT_EQ(query_one(conninfo, "select 1"), "1");
    EXPECT_EQ(query_one(conninfo, "select current_setting('port')"), port_before);
    EXPECT_NE(query_one(conninfo, "select pg_postmaster_start_time()::text"), started_before)
        << "the server was not restarted";

    std::ifstream port_file(test_pg_dir() + "/port");
    std::string port_in_file;
    port_file >> port_in_file;
    EXPECT_EQ(port_in_file, port_before);
}

}  // namespace
}  // namespace vantrel::test
