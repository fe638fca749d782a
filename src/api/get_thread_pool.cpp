#include "api/get_thread_pool.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "exec/worker.h"
#include "platform/unload.h"

namespace vantrel {

unsigned pool_worker_count(unsigned logical_processors) {
    return 2 * std::max(1u, logical_processors);
}

namespace {

// Holds a value whose destructor never runs: the union's own destructor does nothing.
template <typename T>
union Lasting {
    template <typename... Args>
    explicit Lasting(Args&&... args) : value(std::forward<Args>(args)...) {}
    ~Lasting() {}
    T value;
};

}  // namespace

ThreadPool<Task>& get_thread_pool() {
    static const unsigned worker_count = pool_worker_count(std::thread::hardware_concurrency());
    if (!unload_may_join_threads()) {
        // Never destroyed, so the unload neither waits for the threads nor destroys joinable
        // ones: they end with the process, and the library stays loaded while they may run.
        static Lasting<ThreadPool<Task>> lasting((keep_library_loaded(), worker_count),
                                                 worker_function);
        return lasting.value;
    }
    static ThreadPool<Task> pool(worker_count, worker_function);
    return pool;
}

}  // namespace vantrel
