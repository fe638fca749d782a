// The throwaway server the other tests rely on: reachable, and restartable on the same port.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "support/host_process.h"
#include "support/pg_server.h"
#include "support/run_program.h"

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

std::string first_word(const std::string& path) {
    std::ifstream file(path);
    std::string word;
    file >> word;
    return word;
}

// A port the caller names is the one the server listens on and the one the records show; the
// stop takes the private folder (made when user postgres cannot reach a folder that mkdtemp
// keeps closed) with it.
TEST(PgCluster, ChosenPortIsRecordedTrulyAndStopRemovesTheServersFolder) {
    VANTREL_REQUIRE_SERVER();
    const std::string script = VANTREL_PG_SCRIPT_PATH;
    const std::string dir = make_temp_dir() + "/cluster";
    const std::string port_file = make_temp_dir() + "/free-port";
    run_program_or_throw({std::filesystem::path(script).replace_filename("free-port.sh").string()}, {port_file});
    const std::string port = first_word(port_file);
    ASSERT_FALSE(port.empty());

    run_program_or_throw({script, "start", dir, "port=" + port});
    const std::string home = file_exists(dir + "/home") ? first_word(dir + "/home") : dir;
    EXPECT_EQ(first_word(dir + "/port"), port);
    const std::string conninfo = read_file(dir + "/conninfo");
    EXPECT_NE(conninfo.find(" port=" + port + " "), std::string::npos) << conninfo;
    EXPECT_EQ(query_one(conninfo, "select current_setting('port')"), port);

    run_program_or_throw({script, "stop", dir});
    if (home != dir) {
        EXPECT_FALSE(std::filesystem::exists(home)) << home;
    } else {
        std::printf("the server's folder was the cluster folder itself: nothing private to remove\n");
    }
}

}  // namespace
}  // namespace vantrel::test
