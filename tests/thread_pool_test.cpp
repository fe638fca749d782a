#include "pool/thread_pool.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pool/worker_count.h"
#include "support/host_process.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// Items are numbers. The body records each item it takes, then waits inside it for a permit:
// a test holds every worker in its current item, and lets them go one item or all at once.
// Every change is signalled, so a test waits for exactly the state it needs.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> taken;
    int permits = 0;
    bool open = false;
    int finished = 0;
    int exited = 0;

    void body(ThreadPool<int>* pool) {
        int item = 0;
        while (pool->dequeue(item)) {
            std::unique_lock<std::mutex> lock(mutex);
            taken.push_back(item);
            changed.notify_all();
            changed.wait(lock, [this] { return open || permits > 0; });
            if (!open) --permits;
            ++finished;
        }
        std::lock_guard<std::mutex> lock(mutex);
        ++exited;
        changed.notify_all();
    }
    ThreadPool<int>::WorkerEntry entry() {
        return [this](ThreadPool<int>* pool) { body(pool); };
    }
    void release_one() { update([this] { ++permits; }); }
    void release_all() { update([this] { open = true; }); }
    // True once condition holds (read under the lock); false after ten seconds.
    template <typename Condition>
    bool wait_for(Condition condition) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, condition);
    }
    bool wait_until_taken(std::size_t count) {
        return wait_for([&] { return taken.size() >= count; });
    }

private:
    template <typename Change>
    void update(Change change) {
        std::lock_guard<std::mutex> lock(mutex);
        change();
        changed.notify_all();
    }
};

TEST(ThreadPool, OneWorkerTakesItemsInQueueOrder) {
    Recorder recorder;
    recorder.release_all();
    ThreadPool<int> pool(1, recorder.entry());
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(pool.enqueue(i));
    pool.shutdown(true);
    std::vector<int> expected(200);
    for (int i = 0; i < 200; ++i) expected[i] = i;
    EXPECT_EQ(recorder.taken, expected);
}

TEST(ThreadPool, DrainWaitsForEveryQueuedItemToFinish) {
    Recorder recorder;
    ThreadPool<int> pool(2, recorder.entry());
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(pool.enqueue(i));
    ASSERT_TRUE(recorder.wait_until_taken(2));
    auto stop = std::async(std::launch::async, [&] { pool.shutdown(true); });
    EXPECT_EQ(stop.wait_for(50ms), std::future_status::timeout);  // workers are held
    recorder.release_all();
    stop.get();
    EXPECT_EQ(recorder.finished, 50);
    EXPECT_EQ(pool.queue_length(), 0u);
}

TEST(ThreadPool, StopWithoutDrainLeavesUntakenItemsCounted) {
    Recorder recorder;
    ThreadPool<int> pool(2, recorder.entry());
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(pool.enqueue(i));
    ASSERT_TRUE(recorder.wait_until_taken(2));
    auto stop = std::async(std::launch::async, [&] { pool.shutdown(false); });
    // The two items in hand still finish; the stop returns only then.
    EXPECT_EQ(stop.wait_for(50ms), std::future_status::timeout);
    recorder.release_all();
    stop.get();
    EXPECT_EQ(recorder.finished, 2);
    EXPECT_EQ(pool.queue_length(), 8u);
    EXPECT_FALSE(pool.enqueue(99));
    EXPECT_EQ(pool.queue_length(), 8u);
}

TEST(ThreadPool, RefusesItemsFromTheStartOfADrainingStop) {
    Recorder recorder;
    ThreadPool<int> pool(1, recorder.entry());
    ASSERT_TRUE(pool.enqueue(1));
    ASSERT_TRUE(pool.enqueue(2));
    ASSERT_TRUE(recorder.wait_until_taken(1));
    auto stop = std::async(std::launch::async, [&] { pool.shutdown(true); });
    // Accepted until the stop closes the queue: the first refusal is the signal.
    int accepted_before_stop = 0;
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (pool.enqueue(3)) {
        ++accepted_before_stop;
        ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the stop never closed the queue";
        std::this_thread::yield();
    }
    const std::size_t waiting = pool.queue_length();
    EXPECT_FALSE(pool.enqueue(4));
    EXPECT_EQ(pool.queue_length(), waiting);
    recorder.release_all();
    stop.get();
    // Everything queued before the stop began still ran; nothing after it did.
    EXPECT_EQ(recorder.finished, 2 + accepted_before_stop);
    for (int item : recorder.taken) EXPECT_NE(item, 4);
}

// Items weigh what they say and the queue holds at most 10: past that it refuses, as full,
// until a worker takes an item; an empty queue takes even an item heavier than the bound; and
// every item it accepted runs, in order.
TEST(ThreadPool, BoundRefusesPastItsWeightUntilItemsAreTakenAndDropsNothing) {
    using Admission = ThreadPool<int>::Admission;
    const auto outcome = [](Admission admission) { return admission.outcome; };
    Recorder recorder;
    const ThreadPool<int>::Bound bound{10, [](const int& item) { return static_cast<std::size_t>(item); }};
    ThreadPool<int> pool(1, recorder.entry(), bound);
    ASSERT_TRUE(pool.enqueue(7));  // the worker holds it: the queue is empty again
    ASSERT_TRUE(recorder.wait_until_taken(1));
    ASSERT_TRUE(pool.enqueue(50));
    EXPECT_EQ(outcome(pool.enqueue(1)), Admission::full);
    recorder.release_one();  // 7 ends, 50 is taken
    ASSERT_TRUE(recorder.wait_until_taken(2));
    ASSERT_TRUE(pool.enqueue(2));
    ASSERT_TRUE(pool.enqueue(3));
    ASSERT_TRUE(pool.enqueue(5));
    EXPECT_EQ(outcome(pool.enqueue(1)), Admission::full);
    EXPECT_EQ(pool.queue_length(), 3u);
    recorder.release_one();  // 50 ends, 2 is taken: 8 wait
    ASSERT_TRUE(recorder.wait_until_taken(3));
    EXPECT_EQ(outcome(pool.enqueue(3)), Admission::full);
    ASSERT_TRUE(pool.enqueue(2));
    EXPECT_EQ(outcome(pool.enqueue(1)), Admission::full);
    recorder.release_all();
    pool.shutdown(true);
    EXPECT_EQ(recorder.taken, (std::vector<int>{7, 50, 2, 3, 5, 2}));
    EXPECT_EQ(outcome(pool.enqueue(1)), Admission::stopping);
}

TEST(ThreadPool, EmptyDrainReturnsAndStopsAreRepeatable) {
    Recorder recorder;
    recorder.release_all();
    ThreadPool<int> pool(3, recorder.entry());
    pool.shutdown(true);
    pool.shutdown(true);
    pool.shutdown(false);
    EXPECT_FALSE(pool.enqueue(1));
    EXPECT_TRUE(recorder.taken.empty());
}

// A draining stop that meets a stop without draining must not wait for items that no worker
// will ever take.
TEST(ThreadPool, ConcurrentStopsAllReturnAfterEveryWorkerEnded) {
    constexpr std::size_t items = 100000;
    Recorder recorder;
    ThreadPool<int> pool(2, recorder.entry());
    for (int i = 0; i < static_cast<int>(items); ++i) ASSERT_TRUE(pool.enqueue(i));
    ASSERT_TRUE(recorder.wait_until_taken(2));
    // The draining stop has begun once the queue refuses items; with both workers held and
    // items waiting, it can only wait for the queue.
    auto drain = std::async(std::launch::async, [&] { pool.shutdown(true); });
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    std::size_t probes = 0;
    for (; pool.enqueue(-1); ++probes) ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the queue never closed";
    auto no_drain = std::async(std::launch::async, [&] { pool.shutdown(false); });
    // One item at a time: a worker let go either takes the next item or, once the stop without
    // draining has told the workers to end, ends; that end is the signal.
    bool ended = false;
    for (std::size_t let_go = 0; !ended && let_go < items / 2; ++let_go) {
        recorder.release_one();
        ASSERT_TRUE(recorder.wait_for([&] {
            ended = recorder.exited > 0;
            return ended || recorder.taken.size() > let_go + 2;
        })) << "a worker let go neither took an item nor ended";
    }
    ASSERT_TRUE(ended) << "the stop without draining never reached the workers";
    recorder.release_all();
    ASSERT_EQ(drain.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(no_drain.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(recorder.exited, 2);
    EXPECT_GT(pool.queue_length(), 0u) << "the queue was drained after all";
    EXPECT_EQ(recorder.taken.size() + pool.queue_length(), items + probes);
}

// Whether the thread sleeps in the kernel (state S), as a worker blocked on the queue does.
bool asleep(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name_end = line.rfind(')');  // the thread's name may hold anything
    return name_end != std::string::npos && line.size() > name_end + 2 && line[name_end + 2] == 'S';
}

TEST(ThreadPool, EveryBurstReachesEveryIdleWorker) {
    // Each item holds its worker until every worker holds one, which only a burst that wakes
    // them all allows; a worker left asleep shows as a round that never completes.
    constexpr unsigned workers = 4;
    constexpr unsigned rounds = 20;
    std::mutex mutex;
    std::vector<pid_t> threads;
    std::atomic<unsigned> back_to_queue{0};
    std::atomic<unsigned> holding{0};
    std::atomic<unsigned> stranded{0};
    ThreadPool<int> pool(workers, [&](ThreadPool<int>* p) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            threads.push_back(gettid());
        }
        int round = 0;
        for (++back_to_queue; p->dequeue(round); ++back_to_queue) {
            const unsigned all_held = (static_cast<unsigned>(round) + 1) * workers;
            ++holding;
            const auto give_up = std::chrono::steady_clock::now() + 10s;
            while (holding.load() < all_held) {
                if (std::chrono::steady_clock::now() > give_up) {
                    ++stranded;
                    break;
                }
                std::this_thread::yield();
            }
        }
    });
    const auto all_asleep = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return std::all_of(threads.begin(), threads.end(), asleep);
    };
    for (unsigned round = 0; round < rounds; ++round) {
        // Every worker back in the queue and asleep on it before the burst.
        ASSERT_TRUE(test::wait_until([&] { return back_to_queue.load() == (round + 1) * workers && all_asleep(); }, 10s))
            << "round " << round << ": the workers did not all go back to sleep on the queue";
        for (unsigned i = 0; i < workers; ++i) ASSERT_TRUE(pool.enqueue(static_cast<int>(round)));
        ASSERT_TRUE(test::wait_until([&] { return holding.load() == (round + 1) * workers || stranded.load() > 0; }, 20s));
        ASSERT_EQ(stranded.load(), 0u) << "round " << round;
    }
    pool.shutdown(true);
    EXPECT_EQ(holding.load(), rounds * workers);
}

// The destructor is a stop without draining: it waits for the items in hand, ends every
// worker, and leaves the rest.
TEST(ThreadPool, DestroyingARunningPoolStopsItsWorkers) {
    Recorder recorder;
    std::optional<ThreadPool<int>> pool;
    pool.emplace(4, recorder.entry());
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(pool->enqueue(i));
    ASSERT_TRUE(recorder.wait_until_taken(4));
    auto destroy = std::async(std::launch::async, [&] { pool.reset(); });
    EXPECT_EQ(destroy.wait_for(50ms), std::future_status::timeout);  // workers are held
    recorder.release_all();
    ASSERT_EQ(destroy.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(recorder.exited, 4);
    EXPECT_EQ(recorder.finished, 4);
}

TEST(ThreadPool, WorkerCountIsTwiceTheProcessorsAndNeverZero) {
    EXPECT_EQ(pool_worker_count(0), 2u);
    EXPECT_EQ(pool_worker_count(1), 2u);
    EXPECT_EQ(pool_worker_count(8), 16u);
}

TEST(ThreadPool, FailedThreadStartStopsTheStartedOnes) {
    // An entry whose copy throws makes the third thread start fail.
    struct ThrowingCopy {
        std::shared_ptr<std::atomic<int>> copies = std::make_shared<std::atomic<int>>(0);
        std::shared_ptr<std::atomic<int>> ended = std::make_shared<std::atomic<int>>(0);
        ThrowingCopy() = default;
        ThrowingCopy(const ThrowingCopy& other) : copies(other.copies), ended(other.ended) {
            if (++*copies == 4) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        void operator()(ThreadPool<int>* pool) const {
            int item = 0;
            while (pool->dequeue(item)) {
            }
            ++*ended;
        }
    };
    ThrowingCopy entry;
    auto ended = entry.ended;
    EXPECT_THROW(ThreadPool<int>(8, entry), std::system_error);
    // The copies before the fourth started two threads: both were stopped and joined.
    EXPECT_EQ(ended->load(), 2) << "threads started before the failure were not all joined";
}

}  // namespace
}  // namespace vantrel
