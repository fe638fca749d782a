#pragma once

#include "pool/thread_pool.h"
#include "pool/worker_count.h"
#include "task/task.h"

namespace vantrel {

// The one pool of the loaded library, built and started on the first call.
ThreadPool<Task>& get_thread_pool();

// Stops the pool (see ThreadPool::shutdown) and, once every worker has been joined, lets the
// library be unloaded.
void stop_thread_pool(bool drain);

}  // namespace vantrel
