#include "exec/connection.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

#include "exec/conninfo_mask.h"

namespace vantrel {
namespace {

bool succeeded(const PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

// libpq's text for a failed statement; without a result (libpq could not send it, or ran
// out of memory) the session's own error text, so that a failure never reads as "no rows".
std::string error_text(const PGresult* result, const PGconn* conn) {
    return result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(conn);
}

// Passes on the values of every row of result, columns joined by sep; rows are joined by one
// line feed, counted across calls by rows_so_far (0 at the start of a row set). No header, no
// quoting and no line feed after the last row. row is scratch space, kept to reuse its memory.
void append_rows(const PGresult* result, const std::string& sep, std::size_t& rows_so_far,
                 std::string& row, const OutcomeSink& sink) {
    const int rows = PQntuples(result);
    const int columns = PQnfields(result);
    for (int r = 0; r < rows; ++r) {
        // One piece per row: the sink sees few, larger pieces.
        row.clear();
        if (rows_so_far++ > 0) row += '\n';
        for (int column = 0; column < columns; ++column) {
            if (column > 0) row += sep;
            // Text-format values hold no NUL, so the reported length is the C string's length.
            row.append(PQgetvalue(result, r, column),
                       static_cast<std::size_t>(PQgetlength(result, r, column)));
        }
        sink.append(row);
    }
}

// Exact for every int32 time: the product is formed in 64 bits, and the server itself
// refuses values outside its range.
std::string statement_timeout_command(std::int32_t time) {
    return "set statement_timeout = " + std::to_string(static_cast<std::int64_t>(time) * 1000);
}

// Drops the rows of a copy out; true once the copy has ended.
bool discard_copy_data(PGconn* conn) {
    char* data = nullptr;
    int length = 0;
    while ((length = PQgetCopyData(conn, &data, 0)) > 0) PQfreemem(data);
    return length == -1;
}

struct OptionsFreer {
    void operator()(PQconninfoOption* options) const noexcept { PQconninfoFree(options); }
};

// Host text reaches the library as UTF-16 and the server as UTF-8, so every session speaks
// UTF-8. libpq reads the host's string as PQconnectdb would; client_encoding comes after its
// keywords, and so wins over a client_encoding of the host's (or PGCLIENTENCODING): any other
// encoding would have the server misread every text the library sends. A string libpq
// refuses gives its error in refusal, and no session.
SessionHandle open_utf8_session(const std::string& conninfo, std::string& refusal) {
    char* error = nullptr;
    const std::unique_ptr<PQconninfoOption, OptionsFreer> options(PQconninfoParse(conninfo.c_str(), &error));
    if (options == nullptr) {
        refusal = error != nullptr ? error : "out of memory\n";
        PQfreemem(error);
        return nullptr;
    }
    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; ++option) {
        if (option->val == nullptr) continue;
        keywords.push_back(option->keyword);
        values.push_back(option->val);
    }
    keywords.insert(keywords.end(), {"client_encoding", nullptr});
    values.insert(values.end(), {"UTF8", nullptr});
    return SessionHandle(PQconnectdbParams(keywords.data(), values.data(), 0));
}

bool speaks_utf8(const PGconn* conn) {
    return std::strcmp(pg_encoding_to_char(PQclientEncoding(conn)), "UTF8") == 0;
}

constexpr const char* transaction_left_open =
    "ERROR: The statement left a transaction open; it was rolled back";

}  // namespace

Connection::Connection(const std::string& conninfo) {
    // One insertion, so one fwrite, which holds the stdout stream's lock for the whole line: no
    // other thread's write to the stream lands inside it. The log's lines are one call each too,
    // except on a terminal, where its colour sink writes a line in pieces: this one can land
    // between them.
    std::cout << "Connection constructed: " + mask_conninfo_passwords(conninfo) + "\n" << std::flush;
    connect(conninfo);
}

Connection::~Connection() {
    release();
    std::cout << "Connection destructed.\n" << std::flush;
}

bool Connection::connected() const {
    return conn != nullptr && PQstatus(conn.get()) == CONNECTION_OK;
}

void Connection::release() {
    cancel.reset();
    conn.reset();
}

bool Connection::connect(const std::string& conninfo) {
    release();
    opened_with = conninfo;
    std::string refusal;
    conn = open_utf8_session(conninfo, refusal);
    if (connected()) {
        cancel = cancel_handle_of(conn.get());
        return true;
    }
    // PQerrorMessage of a null handle reports libpq running out of memory. libpq repeats parts
    // of a string it refuses, and the server names the database or role it was given: the
    // outcome and the log hide there what they hide in the connection string.
    last_error = mask_conninfo_passwords_in(refusal.empty() ? PQerrorMessage(conn.get()) : refusal, conninfo);
    conn.reset();
    return false;
}

bool Connection::set_statement_timeout(std::int32_t time) {
    const ResultHandle result(PQexec(conn.get(), statement_timeout_command(time).c_str()));
    if (PQresultStatus(result.get()) == PGRES_COMMAND_OK) return true;
    last_error = "ERROR: Failed to set timeout: " + error_text(result.get(), conn.get());
    return false;
}

// A session the server closed while it was idle (a restart, idle_session_timeout) is found
// closed by the timeout statement, before anything of the task has reached the server: the
// task may then run on a new session. A session that fails later is never retried, since its
// statement may have done its work.
bool Connection::start_task(std::int32_t time) {
    if (set_statement_timeout(time)) return true;
    if (connected() || !connect(opened_with)) return false;
    return set_statement_timeout(time);
}

void Connection::execute(const std::string& query, const std::string& sep, std::int32_t time,
                         bool drop, const OutcomeSink& sink) {
    if (!connected()) return sink.append(last_error);
    if (start_task(time)) {
        stream(query, sep, drop, sink);
    } else {
        sink.append(last_error);
    }
    leave_idle(drop, sink);
    speak_utf8();
    drop_notifications();
}

// A statement may switch the session to another encoding (set client_encoding); the next
// task's text is UTF-8 again. A session that cannot be switched back is released, and the
// next task reconnects.
void Connection::speak_utf8() {
    if (!connected() || speaks_utf8(conn.get())) return;
    if (PQsetClientEncoding(conn.get(), "UTF8") != 0) release();
}

// After LISTEN the server sends the session every notification of its channels, and libpq
// keeps each one until it is asked for it. No task reads them.
void Connection::drop_notifications() {
    while (PGnotify* notification = PQnotifies(conn.get())) PQfreemem(notification);
}

// The next task on this session may be any host's: nothing a statement leaves behind in it
// (a copy under way, an open transaction block) may carry over. A session that cannot be
// brought back to idle is released, and the next task reconnects.
void Connection::leave_idle(bool drop, const OutcomeSink& sink) {
    if (!end_copy()) return release();
    const PGTransactionStatusType status = PQtransactionStatus(conn.get());
    if (status != PQTRANS_INTRANS && status != PQTRANS_INERROR) return;
    const ResultHandle rollback(PQexec(conn.get(), "ROLLBACK"));
    if (PQresultStatus(rollback.get()) != PGRES_COMMAND_OK ||
        PQtransactionStatus(conn.get()) != PQTRANS_IDLE) {
        release();  // closing the session rolls the block back on the server
    }
    // A failed block's outcome is already the server's error.
    if (status == PQTRANS_INERROR) return;
    // Rows or "TRUE" would report work that has just been undone.
    sink.clear();
    sink.append(transaction_left_open);
    if (!drop) last_error = transaction_left_open;
}

// COPY leaves the session in the copy until the client ends it. A task has no rows to send
// in, and none it could use coming out: the copy in is ended as failed, the copy out drained.
// False: the session is lost.
bool Connection::end_copy() {
    while (PQstatus(conn.get()) == CONNECTION_OK) {
        const ResultHandle result(PQgetResult(conn.get()));
        if (result == nullptr) return true;
        switch (PQresultStatus(result.get())) {
            case PGRES_COPY_IN:
                if (PQputCopyEnd(conn.get(), "a task sends no copy data") < 0) return false;
                break;
            case PGRES_COPY_OUT:
                if (!discard_copy_data(conn.get())) return false;
                break;
            case PGRES_COPY_BOTH:  // replication; nothing a task can end
                return false;
            default:
                break;
        }
    }
    return false;
}

// Single-row mode: each row is passed on as it arrives and freed (in drop mode, freed), so
// neither the result nor its text is ever held whole. The outcome is the one PQexec's result
// would give: that of the last result of the statement text, whose rows or error replace what
// came before; in drop mode "TRUE" for a success, the error text for a failure.
void Connection::stream(const std::string& query, const std::string& sep, bool drop,
                        const OutcomeSink& sink) {
    if (PQsendQuery(conn.get(), query.c_str()) == 0) {
        const std::string refused = PQerrorMessage(conn.get());
        if (!drop) last_error = refused;
        return sink.append(refused);
    }
    PQsetSingleRowMode(conn.get());
    bool previous_complete = true;  // the next result replaces the outcome so far
    bool any = false;
    bool failed = false;
    std::string error;
    std::size_t rows = 0;
    std::string row;
    while (PGresult* next = PQgetResult(conn.get())) {
        const ResultHandle result(next);
        const ExecStatusType status = PQresultStatus(next);
        any = true;
        if (previous_complete && !drop) {
            sink.clear();
            rows = 0;
        }
        if (status == PGRES_SINGLE_TUPLE || succeeded(next)) {
            if (!drop) append_rows(next, sep, rows, row, sink);
            failed = false;
        } else {
            error = PQresultErrorMessage(next);
            if (!drop) {
                sink.clear();
                sink.append(error);
            }
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
    // No result at all is what PQexec gives as a null result: a failure with the session's text.
    if (!any) {
        failed = true;
        error = PQerrorMessage(conn.get());
        if (!drop) sink.append(error);
    }
    if (drop) {
        sink.append(failed ? error : std::string("TRUE"));
    } else if (failed) {
        last_error = std::move(error);
    }
}

}  // namespace vantrel
