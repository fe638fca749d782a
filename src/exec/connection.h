#pragma once
// One PostgreSQL session held by one worker for one connection string.
// Every failure of the server or of libpq becomes text: returned at once as the outcome,
// or kept as last_error and returned by the next execute.

#include <cstdint>
#include <string>

#include "exec/outcome_sink.h"
#include "exec/pg_handles.h"

namespace vantrel {

class Connection {
public:
    // Announces itself on standard output (password masked) and connects at once.
    explicit Connection(const std::string& conninfo);
    ~Connection();

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool connected() const;

    // For cancelling the statement this session runs, from another thread; empty when not
    // connected.
    const CancelHandle& cancel_handle() const { return cancel; }

    // Replaces the session, releasing any handle held, broken or not. The new session speaks
    // UTF-8, whatever client_encoding conninfo names.
    bool connect(const std::string& conninfo);

    // Sets the statement timeout, runs query and passes the outcome text to sink: the rows
    // (columns joined by sep, rows by a line feed) as they arrive, "TRUE" in drop mode, or an
    // error text, which replaces any rows passed before it. A session the server closed while
    // it was idle is opened again once, before the statement is sent. Afterwards the session
    // is as the next task needs it: idle (a transaction block the statement left open is
    // rolled back, and its outcome says so), in UTF-8, with no notification kept.
    void execute(const std::string& query, const std::string& sep, std::int32_t time, bool drop,
                 const OutcomeSink& sink);

private:
    bool set_statement_timeout(std::int32_t time);
    bool start_task(std::int32_t time);
    void stream(const std::string& query, const std::string& sep, bool drop, const OutcomeSink& sink);
    void leave_idle(bool drop, const OutcomeSink& sink);
    bool end_copy();
    void speak_utf8();
    void drop_notifications();

    void release();

    SessionHandle conn;
    std::string last_error;
    CancelHandle cancel;
    std::string opened_with;  // the connection string of the last connect
};

}  // namespace vantrel
