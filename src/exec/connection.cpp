#include "exec/connection.h"

#include <iostream>
#include <mutex>

#include "exec/conninfo_mask.h"
#include "exec/outcome.h"

namespace vantrel {
namespace {

bool succeeded(const PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

// Exact for every int32 time: the product is formed in 64 bits, and the server itself
// refuses values outside its range.
std::string statement_timeout_command(std::int32_t time) {
    return "set statement_timeout = " + std::to_string(static_cast<std::int64_t>(time) * 1000);
}

// The first connection of the process is made alone: the Windows libpq build sets up
// process-wide state (libintl) during it without a lock, and can abort when several threads
// do so at once. Later connections run in parallel.
PGconn* open_session(const std::string& conninfo) {
    static std::once_flag first_connection;
    PGconn* opened = nullptr;
    bool opened_here = false;
    std::call_once(first_connection, [&] {
        opened = PQconnectdb(conninfo.c_str());
        opened_here = true;
    });
    return opened_here ? opened : PQconnectdb(conninfo.c_str());
}

}  // namespace

Connection::Connection(const std::string& conninfo) {
    std::cout << "Connection constructed: " << mask_conninfo_passwords(conninfo) << std::endl;
    connect(conninfo);
}

Connection::~Connection() {
    conn.reset();
    std::cout << "Connection destructed." << std::endl;
}

bool Connection::connected() const {
    return conn != nullptr && PQstatus(conn.get()) == CONNECTION_OK;
}

bool Connection::connect(const std::string& conninfo) {
    conn.reset();
    conn.reset(open_session(conninfo));
    if (connected()) return true;
    // PQerrorMessage of a null handle reports libpq running out of memory.
    last_error = PQerrorMessage(conn.get());
    conn.reset();
    return false;
}

bool Connection::set_statement_timeout(std::int32_t time) {
    const ResultHandle result(PQexec(conn.get(), statement_timeout_command(time).c_str()));
    if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) return true;
    last_error = "ERROR: Failed to set timeout: ";
    last_error += PQresultErrorMessage(result.get());
    return false;
}

std::string Connection::execute(const std::string& query, const std::string& sep,
                                std::int32_t time, bool drop) {
    if (!connected()) return last_error;
    if (!set_statement_timeout(time)) return last_error;

    const ResultHandle result(PQexec(conn.get(), query.c_str()));
    if (drop) return succeeded(result.get()) ? "TRUE" : PQresultErrorMessage(result.get());
    if (succeeded(result.get())) return rows_as_text(result.get(), sep);
    last_error = PQresultErrorMessage(result.get());
    return last_error;
}

}  // namespace vantrel
