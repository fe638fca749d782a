#pragma once

#include "pool/thread_pool.h"
#include "task/task.h"

namespace vantrel {

// Twice the logical processors; a platform that cannot tell counts as one processor.
unsigned pool_worker_count(unsigned logical_processors);

// The one pool of the loaded library, built and started on the first call.
ThreadPool<Task>& get_thread_pool();

}  // namespace vantrel
