#include "pool/get_thread_pool.h"

#include <algorithm>
#include <thread>

#include "exec/worker.h"
#include "platform/unload.h"

namespace vantrel {

unsigned pool_worker_count(unsigned logical_processors) {
    return 2 * std::max(1u, logical_processors);
}

ThreadPool<Task>& get_thread_pool() {
    static const unsigned worker_count = pool_worker_count(std::thread::hardware_concurrency());
    if (!unload_may_join_threads()) {
        // Never destroyed, so the unload neither waits for the threads nor destroys joinable
        // ones: they end with the process, and the library stays loaded while they may run.
        static ThreadPool<Task>* const lasting = [] {
            keep_library_loaded();
            return new ThreadPool<Task>(worker_count, worker_function);
        }();
        return *lasting;
    }
    static ThreadPool<Task> pool(worker_count, worker_function);
    return pool;
}

}  // namespace vantrel
