#pragma once
// What the client library's process-wide set-up asks of its first use on each system.

namespace vantrel {

#if defined(_WIN32)
// The Windows libpq sets up its message catalogue (libintl) on first use without a lock, and
// a process whose workers all make that first use at once can abort.
constexpr bool client_first_use_is_racy = true;
#else
constexpr bool client_first_use_is_racy = false;
#endif

}  // namespace vantrel
