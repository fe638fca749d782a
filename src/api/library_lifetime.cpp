#include "api/library_lifetime.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "exec/worker.h"
#include "exec/worker_watch.h"
#include "platform/process.h"
#include "platform/unload.h"
#include "pool/worker_count.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// How long the exit gives the workers, once their statements are cancelled.
constexpr std::chrono::milliseconds exit_grace = 2s;

// Tasks wait in the queue up to waiting_tasks_budget bytes.
ThreadPool<Task>::Bound task_queue_bound() {
    return {waiting_tasks_budget, [](const Task& task) { return task.weight(); }};
}

struct LibraryState;

// The state once built, for what runs outside any export: the fork handler, the exit, the
// unload. Null before the first build and after the unload.
std::atomic<LibraryState*> built{nullptr};

// Members in the order they must be built: the reference and the watch before the first
// worker starts, since workers use both.
struct LibraryState {
    explicit LibraryState(unsigned worker_count)
        : watch(worker_count), pool(worker_count, [this](ThreadPool<Task>* pool) {
              block_broken_pipe_signal();
              worker_function(pool, watch);
              watch.worker_ended();
          }, task_queue_bound()) {
        built = this;
    }

    LibraryReference library;
    WorkerWatch watch;
    ThreadPool<Task> pool;
    std::atomic<bool> inherited{false};  // this process is a fork of the one that built it
    std::atomic<bool> ended{false};      // the exit or the unload ended it
};

void mark_inherited() {
    if (LibraryState* state = built.load()) state->inherited = true;
}

unsigned worker_count_with_forks_watched() {
    on_fork_in_child(mark_inherited);
    return pool_worker_count(std::thread::hardware_concurrency());
}

// Never destroyed by an exit handler. The host's own exit handlers and global destructors may
// run after every one of the library's and still call any export (a stop in a global's
// destructor); workers the exit leaves behind may still return into it; and in a forked child,
// destroying it would join threads the child does not have and close sessions that are the
// parent's. The process's end takes back its memory. Only the unload destroys it, once every
// worker has been joined: after dlclose the host calls no export.
union Lasting {
    explicit Lasting(unsigned worker_count) : state(worker_count) {}
    ~Lasting() {}
    LibraryState state;
};

LibraryState& library_state() {
    static Lasting lasting(worker_count_with_forks_watched());
    return lasting.state;
}

// The state of this process's own library, or null: never built, built by the parent, or gone.
LibraryState* own_state() {
    LibraryState* state = built.load();
    return state != nullptr && !state->inherited ? state : nullptr;
}

}  // namespace

ThreadPool<Task>& get_thread_pool() {
    LibraryState& state = library_state();
    if (state.inherited) throw std::runtime_error("the library belongs to the parent process");
    return state.pool;
}

void stop_library(bool drain) {
    LibraryState& state = library_state();
    if (state.inherited || state.ended) return;
    state.pool.shutdown(drain);
    state.library.release();
}

void end_library_at_exit() noexcept {
    LibraryState* state = own_state();
    if (state == nullptr || state->ended.exchange(true)) return;
    try {
        state->pool.request_stop();
        // Workers that all ended are joined at once, a concurrent stop's join included; ones
        // still waiting on a server stay where they are.
        if (state->watch.cancel_and_wait(exit_grace)) state->pool.shutdown(false);
    } catch (...) {
    }
}

void end_library_at_unload() noexcept {
    LibraryState* state = own_state();
    if (state == nullptr || state->ended.exchange(true)) return;
    try {
        state->pool.request_stop();
        state->watch.cancel_and_wait(std::nullopt);
        state->pool.shutdown(false);
    } catch (...) {
        return;  // a worker may still run: leave everything in place
    }
    built = nullptr;
    state->~LibraryState();
}

}  // namespace vantrel
