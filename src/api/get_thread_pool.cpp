#include "api/get_thread_pool.h"

#include <thread>

#include "exec/worker.h"
#include "platform/unload.h"

namespace vantrel {

namespace {

// The workers with the reference that keeps the library's code mapped while they may run.
struct RunningPool {
    explicit RunningPool(unsigned worker_count) : pool(worker_count, worker_function) {}

    LibraryReference library;  // taken before the first worker starts
    ThreadPool<Task> pool;
};

// Destroyed at the unload only once a stop has joined every worker. Without a stop, the
// unload comes at the process's exit, after the system has ended the workers wherever they
// were (inside the queue's lock, perhaps), and it runs under the loader lock: destroying the
// pool then could wait for ever, or destroy threads still joinable. It is left to the exit.
union LastingUnlessStopped {
    explicit LastingUnlessStopped(unsigned worker_count) : running(worker_count) {}
    ~LastingUnlessStopped() {
        if (running.library.released()) running.~RunningPool();
    }
    RunningPool running;
};

RunningPool& running_pool() {
    static const unsigned worker_count = pool_worker_count(std::thread::hardware_concurrency());
    if (!unload_may_join_threads()) {
        static LastingUnlessStopped lasting(worker_count);
        return lasting.running;
    }
    static RunningPool running(worker_count);
    return running;
}

}  // namespace

ThreadPool<Task>& get_thread_pool() { return running_pool().pool; }

void stop_thread_pool(bool drain) {
    RunningPool& running = running_pool();
    running.pool.shutdown(drain);
    running.library.release();
}

}  // namespace vantrel
