#pragma once
// Ownership of libpq handles: no path, early return or exception can skip PQfinish or PQclear.

#include <libpq-fe.h>

#include <memory>

#include "exec/cancel_handle.h"

namespace vantrel {

struct SessionCloser {
    void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};

struct ResultClearer {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};

using SessionHandle = std::unique_ptr<PGconn, SessionCloser>;
using ResultHandle = std::unique_ptr<PGresult, ResultClearer>;

inline CancelHandle cancel_handle_of(PGconn* conn) { return CancelHandle(PQgetCancel(conn), PQfreeCancel); }

}  // namespace vantrel
