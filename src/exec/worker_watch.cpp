#include "exec/worker_watch.h"

#include <libpq-fe.h>

#include <algorithm>
#include <thread>
#include <utility>

namespace vantrel {
namespace {

void send_cancel(const CancelHandle& statement) noexcept {
    char error[256];
    PQcancel(statement.get(), error, sizeof error);  // a failed request changes nothing
}

// PQcancel waits for its server's answer, which a stalled server never gives: each request goes
// from a thread of its own, so one such server holds no other's. Where no thread can be made
// (memory short), the calling thread sends the request itself.
std::vector<std::thread> send_cancels(const std::vector<CancelHandle>& statements) noexcept {
    std::vector<std::thread> senders;
    for (const CancelHandle& statement : statements) {
        try {
            senders.emplace_back([statement] { send_cancel(statement); });
        } catch (...) {
            send_cancel(statement);
        }
    }
    return senders;
}

}  // namespace

WorkerWatch::Wait::Wait(WorkerWatch& watch_, CancelHandle cancel_, std::function<void()> discard_)
    : watch(watch_), cancel(std::move(cancel_)), discard(std::move(discard_)) {
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
    if (watch.left) {
        lock.unlock();
        try {
            if (discard) discard();
        } catch (...) {
        }
        lock.lock();
        watch.changed.wait(lock, [] { return false; });
    }
    --watch.waiting;
    watch.changed.notify_all();
}

void WorkerWatch::worker_ended() {
    const std::lock_guard<std::mutex> lock(mutex);
    --live;
    changed.notify_all();
}

std::vector<CancelHandle> WorkerWatch::running_statements() noexcept {
    try {
        const std::lock_guard<std::mutex> lock(mutex);
        return statements;
    } catch (...) {
        return {};  // memory short: no cancels, and the wait stays what it is
    }
}

bool WorkerWatch::wait_or_leave(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    if (changed.wait_for(lock, limit, [this] { return live == 0; })) return true;
    left = true;
    // A worker between two waits reaches its next one, or its end, at once.
    changed.wait_for(lock, limit, [this] { return waiting == live; });
    return false;
}

void WorkerWatch::wait_for_all() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return live == 0; });
}

bool WorkerWatch::cancel_and_wait(std::optional<std::chrono::milliseconds> limit) noexcept {
    std::vector<std::thread> senders = send_cancels(running_statements());
    bool ended = false;
    try {
        if (limit) {
            ended = wait_or_leave(*limit);
        } else {
            wait_for_all();
            ended = true;
        }
    } catch (...) {
    }
    for (std::thread& sender : senders) {
        // At the exit, a request whose server never answers is left to the exit; its thread
        // holds only its own handle.
        if (limit) {
            sender.detach();
        } else {
            try {
                sender.join();
            } catch (...) {
                sender.detach();
            }
        }
    }
    return ended;
}

}  // namespace vantrel
