#include "exec/worker_watch.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <utility>

namespace vantrel {
namespace {

void cancel_each(const std::vector<CancelHandle>& statements) {
    for (const CancelHandle& statement : statements) {
        char error[256];
        PQcancel(statement.get(), error, sizeof error);  // a failed request changes nothing
    }
}

}  // namespace

WorkerWatch::Wait::Wait(WorkerWatch& watch_, CancelHandle cancel_) : watch(watch_), cancel(std::move(cancel_)) {
    const std::lock_guard<std::mutex> lock(watch.mutex);
    ++watch.waiting;
    if (cancel) watch.statements.push_back(cancel);
}

WorkerWatch::Wait::~Wait() {
    std::unique_lock<std::mutex> lock(watch.mutex);
    if (cancel) {
        auto& statements = watch.statements;
        const auto entry = std::find(statements.begin(), statements.end(), cancel);
        if (entry != statements.end()) statements.erase(entry);
    }
    // Past this point the worker would log, write or take the next task, all of which the
    // exit may be destroying now.
    if (watch.left) watch.changed.wait(lock, [] { return false; });
    --watch.waiting;
    watch.changed.notify_all();
}

void WorkerWatch::worker_ended() {
    const std::lock_guard<std::mutex> lock(mutex);
    --live;
    changed.notify_all();
}

std::vector<CancelHandle> WorkerWatch::running_statements() {
    const std::lock_guard<std::mutex> lock(mutex);
    return statements;
}

void WorkerWatch::cancel_running() { cancel_each(running_statements()); }

bool WorkerWatch::cancel_and_wait(std::chrono::milliseconds limit) {
    // PQcancel waits for the server's answer, which a stalled server never gives: it runs on a
    // thread of its own, which owns the handles it uses.
    auto sent = std::make_shared<std::atomic<bool>>(false);
    std::thread canceller([statements = running_statements(), sent] {
        cancel_each(statements);
        *sent = true;
    });
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        ended = changed.wait_for(lock, limit, [this] { return live == 0; });
        if (!ended) {
            left = true;
            // A worker between two waits reaches its next one, or its end, at once.
            changed.wait_for(lock, limit, [this] { return waiting == live; });
        }
    }
    if (*sent) {
        canceller.join();
    } else {
        canceller.detach();  // holds only its own handles; the exit ends it
    }
    return ended;
}

}  // namespace vantrel
