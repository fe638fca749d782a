#pragma once
// A handle for cancelling a session's running statement from another thread, named without
// libpq's header, so that what only passes handles along never sees libpq.

#include <memory>

struct pg_cancel;  // libpq's PGcancel

namespace vantrel {

// Shared: a cancel request may be under way on another thread when the session goes.
using CancelHandle = std::shared_ptr<pg_cancel>;

}  // namespace vantrel
