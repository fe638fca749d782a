#include "exec/connection.h"

#include <iostream>

#include "exec/conninfo_mask.h"

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

}  // namespace

Connection::Connection(const std::string& conninfo) {
    // One insertion per line: workers and the log share standard output, and a line written
    // in pieces can be split by another thread's.
    std::cout << "Connection constructed: " + mask_conninfo_passwords(conninfo) + "\n" << std::flush;
    connect(conninfo);
}

Connection::~Connection() {
    conn.reset();
    std::cout << "Connection destructed.\n" << std::flush;
}

bool Connection::connected() const {
    return conn != nullptr && PQstatus(conn.get()) == CONNECTION_OK;
}

bool Connection::connect(const std::string& conninfo) {
    conn.reset();
    conn.reset(PQconnectdb(conninfo.c_str()));
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

void Connection::execute(const std::string& query, const std::string& sep, std::int32_t time,
                         bool drop, OutcomeSink& sink) {
    if (!connected() || !set_statement_timeout(time)) return sink.append(last_error);
    if (!drop) return stream_rows(query, sep, sink);
    const ResultHandle result(PQexec(conn.get(), query.c_str()));
    if (succeeded(result.get())) return sink.append("TRUE", 4);
    sink.append(std::string(PQresultErrorMessage(result.get())));
}

std::string Connection::execute(const std::string& query, const std::string& sep,
                                std::int32_t time, bool drop) {
    StringSink sink;
    execute(query, sep, time, drop, sink);
    return std::move(sink.text);
}

// Single-row mode: each row is passed on as it arrives and freed, so neither the result nor
// its text is ever held whole. The outcome is the one PQexec's result would give: that of
// the last result of the statement text, whose rows or error replace what came before.
void Connection::stream_rows(const std::string& query, const std::string& sep,
                             OutcomeSink& sink) {
    if (PQsendQuery(conn.get(), query.c_str()) == 0) {
        last_error.clear();  // PQexec gives no result then, and so an empty error text
        return;
    }
    PQsetSingleRowMode(conn.get());
    bool previous_complete = true;  // the next result replaces the outcome so far
    bool failed = false;
    std::string error;
    std::size_t rows = 0;
    std::string row;
    while (PGresult* next = PQgetResult(conn.get())) {
        const ResultHandle result(next);
        const ExecStatusType status = PQresultStatus(next);
        if (previous_complete) {
            sink.clear();
            rows = 0;
        }
        if (status == PGRES_SINGLE_TUPLE || succeeded(next)) {
            append_rows(next, sep, rows, row, sink);
            failed = false;
        } else {
            sink.clear();
            error = PQresultErrorMessage(next);
            sink.append(error);
            failed = true;
        }
        // The single rows of a result end with a row-less PGRES_TUPLES_OK.
        previous_complete = status != PGRES_SINGLE_TUPLE;
        // Where PQexec stops reading and returns the result in hand.
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH ||
            PQstatus(conn.get()) == CONNECTION_BAD) {
            break;
        }
    }
    if (failed) last_error = std::move(error);
}

}  // namespace vantrel
