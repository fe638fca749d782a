#pragma once

#include "exec/worker_watch.h"
#include "pool/thread_pool.h"
#include "task/task.h"

namespace vantrel {

// The body of every pool thread: takes tasks until the pool stops, runs each through this
// worker's own session for its connection string, and writes the outcome to its file. Every
// wait on a server or a file is one the watch knows of.
void worker_function(ThreadPool<Task>* pool, WorkerWatch& watch);

}  // namespace vantrel
