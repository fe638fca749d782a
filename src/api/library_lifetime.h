#pragma once
// The one owner of the library's lifetime: the pool and its workers from the first use on, the
// stop, the end without a stop (the process's exit, the library's unload) and a forked child.

#include "pool/thread_pool.h"
#include "task/task.h"

namespace vantrel {

// The one pool of the loaded library, built and started on the first call. Throws
// std::runtime_error in a forked child of the process that built it: the pool, its workers and
// their sessions belong to that process.
ThreadPool<Task>& get_thread_pool();

// Stops the pool (see ThreadPool::shutdown). Returns at once where there is nothing this process
// may stop: in a forked child, or after the exit ended the library.
void stop_library(bool drain);

// The end without a stop, as the platform reports it (Linux: api/load_hook_linux.cpp); neither
// throws, and neither does anything once the library was stopped. At the process's exit:
// running statements cancelled, the workers given a bounded time to end, and the ones still
// waiting on a server left for the exit to end. At the unload: running statements cancelled
// and every worker waited for, however long, since its code is about to go.
void end_library_at_exit() noexcept;
void end_library_at_unload() noexcept;

}  // namespace vantrel
