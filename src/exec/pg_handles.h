#pragma once
// Ownership of libpq handles: no path, early return or exception can skip PQfinish or PQclear.

#include <libpq-fe.h>

#include <memory>

namespace vantrel {

struct SessionCloser {
    void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};

struct ResultClearer {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};

using SessionHandle = std::unique_ptr<PGconn, SessionCloser>;
using ResultHandle = std::unique_ptr<PGresult, ResultClearer>;

// Shared: a cancel request may be under way on another thread when the session goes.
using CancelHandle = std::shared_ptr<PGcancel>;
inline CancelHandle cancel_handle_of(PGconn* conn) { return CancelHandle(PQgetCancel(conn), PQfreeCancel); }

}  // namespace vantrel
