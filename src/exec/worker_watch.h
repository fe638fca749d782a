#pragma once
// What the workers are waiting on, for an end of the library that cannot wait for them: the
// process's exit without a stop. It asks the servers to cancel the running statements and
// gives the workers a bounded time to end; a worker still waiting after that is left where it
// is, and parks for good once its wait returns, so it never touches what the exit destroys.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "exec/pg_handles.h"

namespace vantrel {

class WorkerWatch {
public:
    explicit WorkerWatch(unsigned workers) : live(workers) {}

    WorkerWatch(const WorkerWatch&) = delete;
    WorkerWatch& operator=(const WorkerWatch&) = delete;

    // A stretch of a worker that may wait on a server or on a file. With a cancel handle, the
    // statement running meanwhile can be cancelled. Ending it after the workers were left
    // never returns.
    class Wait {
    public:
        explicit Wait(WorkerWatch& watch, CancelHandle cancel = {});
        ~Wait();
        Wait(const Wait&) = delete;
        Wait& operator=(const Wait&) = delete;

    private:
        WorkerWatch& watch;
        const CancelHandle cancel;
    };

    // The worker's last step: it touches nothing of the library's after this.
    void worker_ended();

    // Cancels every running statement, waiting as long as each server takes to answer.
    void cancel_running();

    // Cancels every running statement without waiting for the answers, then gives the
    // workers up to limit to end. False: some did not, and the caller must leave everything
    // they may touch in place; they wait only inside a Wait, and park when it ends.
    bool cancel_and_wait(std::chrono::milliseconds limit);

private:
    std::vector<CancelHandle> running_statements();

    std::mutex mutex;
    std::condition_variable changed;
    unsigned live;          // workers that have not ended
    unsigned waiting = 0;   // of them, inside a Wait
    bool left = false;      // the workers were given up on
    std::vector<CancelHandle> statements;
};

}  // namespace vantrel
