#pragma once
// What the workers are waiting on, for an end of the library that comes without a stop: the
// process's exit, or the library's unload. It asks the servers to cancel the running
// statements, all at once, and waits for the workers to end. The unload waits for as long as
// that takes; the exit waits a bounded time and then leaves the workers still waiting where
// they are: each one parks for good when its wait returns, so it never touches what the exit
// goes on to destroy, nor takes new work.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "exec/cancel_handle.h"

namespace vantrel {

class WorkerWatch {
public:
    explicit WorkerWatch(unsigned workers) : live(workers) {}

    WorkerWatch(const WorkerWatch&) = delete;
    WorkerWatch& operator=(const WorkerWatch&) = delete;

    // A stretch of a worker that may wait on a server or on a file. With a cancel handle, the
    // statement running meanwhile can be cancelled. If the workers were left meanwhile, its end
    // runs discard (what the worker would otherwise leave behind, such as a staged result
    // file) and then never returns.
    class Wait {
    public:
        explicit Wait(WorkerWatch& watch, CancelHandle cancel = {}, std::function<void()> discard = {});
        ~Wait();
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;

    private:
        WorkerWatch& watch;
        const CancelHandle cancel;
        const std::function<void()> discard;
    };

    // The worker's last step: it touches nothing of the library's after this.
    void worker_ended();

    // Cancels every running statement and waits until every worker has ended. Without a limit
    // it waits for as long as that takes. With one, the workers still running after it are
    // left (see Wait); the caller must then keep in place everything they may touch. True:
    // every worker ended. Never throws.
    bool cancel_and_wait(std::optional<std::chrono::milliseconds> limit) noexcept;

private:
    std::vector<CancelHandle> running_statements() noexcept;
    bool wait_or_leave(std::chrono::milliseconds limit);
    void wait_for_all();

    std::mutex mutex;
    std::condition_variable changed;
    unsigned live;          // workers that have not ended
    unsigned waiting = 0;   // of them, inside a Wait
    bool left = false;      // the workers were given up on
    std::vector<CancelHandle> statements;
};

}  // namespace vantrel
