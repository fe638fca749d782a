#pragma once

#include "pool/thread_pool.h"
#include "task/task.h"

namespace vantrel {

// Twice the logical processors; a platform that cannot tell counts as one processor.
unsigned pool_worker_count(unsigned logical_processors);

// The one pool of the loaded library, built and started on the first call.
ThreadPool<Task>& get_thread_pool();

// Stops the pool (see ThreadPool::shutdown) and, once every worker has been joined, lets the
// library be unloaded.
void stop_thread_pool(bool drain);

}  // namespace vantrel
