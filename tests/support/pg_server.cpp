#include "support/pg_server.h"

#include <libpq-fe.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace vantrel::test {
namespace {

std::string env_or_empty(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string trim(std::string text) {
    const auto is_space = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    while (!text.empty() && is_space(text.back())) text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && is_space(text[start])) ++start;
    return text.substr(start);
}

// Single-quoted for /bin/sh, so folders with spaces or quotes pass through std::system intact.
std::string shell_quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using ConnPtr = std::unique_ptr<PGconn, ConnDeleter>;
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

}  // namespace

// The build may compile in the folder and script: gtest_discover_tests cannot pass more than
// one environment variable per test (its property list swallows the separator).
std::string test_pg_dir() {
    std::string dir = env_or_empty("VANTREL_TEST_PG_DIR");
#ifdef VANTREL_TEST_PG_DIR_PATH
    if (dir.empty()) dir = VANTREL_TEST_PG_DIR_PATH;
#endif
    return dir;
}

namespace {

std::string pg_script() {
    std::string script = env_or_empty("VANTREL_PG_SCRIPT");
#ifdef VANTREL_PG_SCRIPT_PATH
    if (script.empty()) script = VANTREL_PG_SCRIPT_PATH;
#endif
    return script;
}

}  // namespace

std::string test_conninfo() {
    std::string conninfo = trim(env_or_empty("VANTREL_TEST_CONNINFO"));
    if (!conninfo.empty()) return conninfo;
    const std::string dir = test_pg_dir();
    if (dir.empty()) return "";
    std::ifstream file(dir + "/conninfo");
    if (!file) return "";
    std::ostringstream content;
    content << file.rdbuf();
    return trim(content.str());
}

void restart_test_server() {
    const std::string script = pg_script();
    const std::string dir = test_pg_dir();
    if (script.empty()) throw std::runtime_error("VANTREL_PG_SCRIPT is not set");
    if (dir.empty()) throw std::runtime_error("VANTREL_TEST_PG_DIR is not set");
    const std::string command = shell_quote(script) + " restart " + shell_quote(dir);
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("server restart failed: " + command);
    }
}

std::string query_one(const std::string& conninfo, const std::string& sql) {
    ConnPtr conn(PQconnectdb(conninfo.c_str()));
    if (!conn) throw std::runtime_error("PQconnectdb: out of memory");
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        throw std::runtime_error("connect failed: " + trim(PQerrorMessage(conn.get())));
    }
    ResultPtr result(PQexec(conn.get(), sql.c_str()));
    if (!result) throw std::runtime_error("query failed: " + trim(PQerrorMessage(conn.get())));
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        throw std::runtime_error("query failed: " + trim(PQresultErrorMessage(result.get())));
    }
    if (PQntuples(result.get()) < 1 || PQnfields(result.get()) < 1) {
        throw std::runtime_error("query returned no value: " + sql);
    }
    return PQgetvalue(result.get(), 0, 0);
}

}  // namespace vantrel::test
