#include "api/get_thread_pool.h"

#include <chrono>
#include <thread>

#include "exec/worker.h"
#include "exec/worker_watch.h"
#include "platform/unload.h"

namespace vantrel {

namespace {

using namespace std::chrono_literals;

// How long an exit without a stop gives the workers, once their statements are cancelled.
constexpr std::chrono::milliseconds exit_grace = 2s;

// Tasks wait in the queue up to waiting_tasks_budget bytes.
ThreadPool<Task>::Bound task_queue_bound() {
    return {waiting_tasks_budget, [](const Task& task) { return task.weight(); }};
}

// The workers with the reference that keeps the library's code mapped while they may run.
struct RunningPool {
    explicit RunningPool(unsigned worker_count)
        : watch(worker_count), pool(worker_count, [this](ThreadPool<Task>* pool) {
              worker_function(pool, watch);
              watch.worker_ended();
          }, task_queue_bound()) {}

    // The end of the library without a stop. True: the workers have ended, or will end by
    // themselves, and the pool may be destroyed (which joins them).
    bool end_without_stop() {
        // Windows: no waiting and no network under the loader lock; the exit ends the threads.
        if (!unload_may_join_threads()) return false;
        pool.request_stop();
        // Not the exit: an unload of code the workers run, so wait for them however long.
        if (!library.held()) {
            watch.cancel_running();
            return true;
        }
        if (watch.cancel_and_wait(exit_grace)) return true;
        pool.release_threads();
        return false;
    }

    LibraryReference library;  // taken before the first worker starts
    WorkerWatch watch;         // outlives the workers
    ThreadPool<Task> pool;
};

// Destroyed at the unload only once every worker has been joined, or surely will be. A worker
// the exit has to leave behind (its server answers nothing, not even the cancel) may still
// return into the pool, so the pool stays as it is until the process is gone.
union LastingUnlessStopped {
    explicit LastingUnlessStopped(unsigned worker_count) : running(worker_count) {}
    ~LastingUnlessStopped() {
        if (running.library.released() || running.end_without_stop()) running.~RunningPool();
    }
    RunningPool running;
};

RunningPool& running_pool() {
    static LastingUnlessStopped lasting(pool_worker_count(std::thread::hardware_concurrency()));
    return lasting.running;
}

}  // namespace

ThreadPool<Task>& get_thread_pool() { return running_pool().pool; }

void stop_thread_pool(bool drain) {
    RunningPool& running = running_pool();
    running.pool.shutdown(drain);
    running.library.release();
}

}  // namespace vantrel
