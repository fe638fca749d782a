#pragma once
// A fixed set of worker threads sharing one first-in-first-out queue.
// The pool never runs an item itself: every thread runs the one worker body,
// which pulls items out through dequeue until dequeue says the pool is stopping.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vantrel {

template <typename Item>
class ThreadPool {
public:
    using WorkerEntry = std::function<void(ThreadPool*)>;

    // How much the queue may hold: the weights of the waiting items summed, at most capacity.
    // An item is weighed once, as it comes in. By default every item weighs 1 and nothing is
    // refused for weight.
    struct Bound {
        std::size_t capacity = std::numeric_limits<std::size_t>::max();
        std::size_t (*weigh)(const Item&) = [](const Item&) -> std::size_t { return 1; };
    };

    // What enqueue did with an item; true only when it was queued.
    struct Admission {
        enum Outcome { queued, stopping, full } outcome;
        explicit operator bool() const { return outcome == queued; }
    };

    // Starts thread_count threads, each running its own copy of entry. If a thread cannot be
    // started, the ones already running are stopped and joined before the error propagates.
    ThreadPool(unsigned thread_count, WorkerEntry entry, Bound bound = {})
        : worker_entry(std::move(entry)), bound(bound) {
        threads.reserve(thread_count);
        try {
            for (unsigned i = 0; i < thread_count; ++i) start_thread();
        } catch (...) {
            shutdown(false);
            throw;
        }
    }

    // A pool left running (no stop before unload) stops without draining, so no joinable
    // thread is ever destroyed.
    ~ThreadPool() { shutdown(false); }

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues the item, or refuses it once the pool is stopping or stopped, or when its weight
    // would take the queue past its bound. A refused item is dropped; nothing queued is.
    Admission enqueue(Item item) {
        const std::size_t weight = bound.weigh(item);  // outside the lock
        bool was_empty = false;
        {
            std::lock_guard<std::mutex> lock(tasks_mutex);
            if (stop_workers || stop_accepting) return {Admission::stopping};
            was_empty = tasks.empty();
            if (!was_empty && !fits(weight)) return {Admission::full};
            tasks.push_back({std::move(item), weight});
            queued_weight += weight;
        }
        // Only an empty queue may have every worker asleep; behind a waiting item, the worker
        // that takes it wakes the next one (dequeue). Signalled after the unlock, so the woken
        // worker does not block at once on the mutex this thread still holds. Both keep the
        // wake-up system call off most submissions.
        if (was_empty) task_available.notify_one();
        return {Admission::queued};
    }

    // Blocks until an item is waiting or the pool stops. True: item now holds the oldest
    // waiting item. False: the pool is stopping and item is untouched.
    bool dequeue(Item& item) {
        std::unique_lock<std::mutex> lock(tasks_mutex);
        task_available.wait(lock, [this] { return stop_workers || !tasks.empty(); });
        if (stop_workers) return false;
        // Moved out here and into item after the unlock: the previous item's memory is
        // released outside the lock that submitting threads wait for.
        Item taken(std::move(tasks.front().item));
        queued_weight -= tasks.front().weight;
        tasks.pop_front();
        const bool more = !tasks.empty();
        // A draining stop waits for an empty queue only: no wake-up for every item taken.
        if (!more) task_taken.notify_all();
        lock.unlock();
        if (more) task_available.notify_one();
        item = std::move(taken);
        return true;
    }

    std::size_t queue_length() {
        std::lock_guard<std::mutex> lock(tasks_mutex);
        return tasks.size();
    }

    // Refuses new items, optionally waits until every waiting item has been taken, then stops
    // the workers and joins them all. Safe to call again, and from two threads at once: every
    // call returns only after every worker has ended.
    void shutdown(bool drain) {
        close_intake();
        if (drain) wait_until_drained();
        stop_all_workers();
        join_all();
    }

    // Refuses new items and tells the workers to stop after the item in hand, without waiting
    // for them; a later shutdown joins them.
    void request_stop() {
        close_intake();
        stop_all_workers();
    }

private:
    struct Waiting {
        Item item;
        std::size_t weight;  // as weighed when it came in
    };

    // An empty queue takes any item, so none is too heavy ever to run; the one that came in
    // alone may then weigh more than the whole bound.
    bool fits(std::size_t weight) const {
        return queued_weight <= bound.capacity && weight <= bound.capacity - queued_weight;
    }

    void start_thread() {
        threads.emplace_back([this, entry = worker_entry] { entry(this); });
    }

    void close_intake() {
        std::lock_guard<std::mutex> lock(tasks_mutex);
        stop_accepting = true;
    }

    // A stop without draining that is already under way leaves items no worker will take.
    void wait_until_drained() {
        std::unique_lock<std::mutex> lock(tasks_mutex);
        task_taken.wait(lock, [this] { return tasks.empty() || stop_workers; });
    }

    void stop_all_workers() {
        {
            std::lock_guard<std::mutex> lock(tasks_mutex);
            stop_workers = true;
        }
        task_available.notify_all();
        // A draining stop that overlaps this one waits for progress that will not come.
        task_taken.notify_all();
    }

    void join_all() {
        std::lock_guard<std::mutex> lock(join_mutex);
        for (std::thread& thread : threads) {
            if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
        }
    }

    std::vector<std::thread> threads;
    std::deque<Waiting> tasks;
    std::size_t queued_weight = 0;  // of every item in tasks; guarded by tasks_mutex
    std::mutex tasks_mutex;
    std::condition_variable task_available;
    bool stop_workers = false;
    bool stop_accepting = false;
    std::condition_variable task_taken;
    WorkerEntry worker_entry;
    const Bound bound;
    std::mutex join_mutex;  // serialises joins when two stops overlap
};

}  // namespace vantrel
