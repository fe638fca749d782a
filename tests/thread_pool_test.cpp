#include "pool/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/get_thread_pool.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// Items are numbers; the body records what it takes, and a gate lets a test hold every
// worker inside its current item.
struct Recorder {
    std::mutex mutex;
    std::vector<int> taken;
    std::atomic<int> finished{0};
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();

    void body(ThreadPool<int>* pool) {
        int item = 0;
        while (pool->dequeue(item)) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                taken.push_back(item);
            }
            open.wait();
            ++finished;
        }
    }
    ThreadPool<int>::WorkerEntry entry() {
        return [this](ThreadPool<int>* pool) { body(pool); };
    }
    std::size_t taken_count() {
        std::lock_guard<std::mutex> lock(mutex);
        return taken.size();
    }
    void wait_until_taken(std::size_t count) {
        while (taken_count() < count) std::this_thread::sleep_for(1ms);
    }
};

TEST(ThreadPool, OneWorkerTakesItemsInQueueOrder) {
    Recorder recorder;
    recorder.gate.set_value();
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
    recorder.wait_until_taken(2);
    auto stop = std::async(std::launch::async, [&] { pool.shutdown(true); });
    EXPECT_EQ(stop.wait_for(50ms), std::future_status::timeout);  // workers are held
    recorder.gate.set_value();
    stop.get();
    EXPECT_EQ(recorder.finished.load(), 50);
    EXPECT_EQ(pool.queue_length(), 0u);
}

TEST(ThreadPool, StopWithoutDrainLeavesUntakenItemsCounted) {
    Recorder recorder;
    ThreadPool<int> pool(2, recorder.entry());
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(pool.enqueue(i));
    recorder.wait_until_taken(2);
    auto stop = std::async(std::launch::async, [&] { pool.shutdown(false); });
    // The two items in hand still finish; the stop returns only then.
    EXPECT_EQ(stop.wait_for(50ms), std::future_status::timeout);
    recorder.gate.set_value();
    stop.get();
    EXPECT_EQ(recorder.finished.load(), 2);
    EXPECT_EQ(pool.queue_length(), 8u);
    EXPECT_FALSE(pool.enqueue(99));
    EXPECT_EQ(pool.queue_length(), 8u);
}

TEST(ThreadPool, RefusesItemsFromTheStartOfADrainingStop) {
    Recorder recorder;
    ThreadPool<int> pool(1, recorder.entry());
    ASSERT_TRUE(pool.enqueue(1));
    ASSERT_TRUE(pool.enqueue(2));
    recorder.wait_until_taken(1);
    auto stop = std::async(std::launch::async, [&] { pool.shutdown(true); });
    int accepted_before_stop = 0;
    while (pool.enqueue(3)) {
        ++accepted_before_stop;
        std::this_thread::sleep_for(1ms);
    }
    const std::size_t waiting = pool.queue_length();
    EXPECT_FALSE(pool.enqueue(4));
    EXPECT_EQ(pool.queue_length(), waiting);
    recorder.gate.set_value();
    stop.get();
    // Everything queued before the stop began still ran; nothing after it did.
    EXPECT_EQ(recorder.finished.load(), 2 + accepted_before_stop);
    for (int item : recorder.taken) EXPECT_NE(item, 4);
}

TEST(ThreadPool, EmptyDrainReturnsAndStopsAreRepeatable) {
    Recorder recorder;
    recorder.gate.set_value();
    ThreadPool<int> pool(3, recorder.entry());
    pool.shutdown(true);
    pool.shutdown(true);
    pool.shutdown(false);
    EXPECT_FALSE(pool.enqueue(1));
    EXPECT_TRUE(recorder.taken.empty());
}

TEST(ThreadPool, ConcurrentStopsAllReturnAfterEveryWorkerEnded) {
    Recorder recorder;
    ThreadPool<int> pool(2, recorder.entry());
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(pool.enqueue(i));
    recorder.wait_until_taken(2);
    // The draining stop is already waiting for the queue when the other stop comes.
    auto drain = std::async(std::launch::async, [&] { pool.shutdown(true); });
    std::this_thread::sleep_for(20ms);
    auto no_drain = std::async(std::launch::async, [&] { pool.shutdown(false); });
    std::this_thread::sleep_for(20ms);
    recorder.gate.set_value();
    // A draining stop that meets a stop without draining must not wait for items that no
    // worker will ever take.
    ASSERT_EQ(drain.wait_for(10s), std::future_status::ready);
    no_drain.get();
    EXPECT_GE(recorder.finished.load(), 2);
}

TEST(ThreadPool, EveryBurstReachesEveryIdleWorker) {
    // Each item holds its worker until every worker holds one, which only a burst that wakes
    // them all allows; a worker left asleep shows as a round that never completes.
    constexpr unsigned workers = 4;
    constexpr unsigned rounds = 20;
    std::atomic<unsigned> holding{0};
    std::atomic<unsigned> stranded{0};
    ThreadPool<int> pool(workers, [&](ThreadPool<int>* p) {
        int round = 0;
        while (p->dequeue(round)) {
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
    for (unsigned round = 0; round < rounds; ++round) {
        std::this_thread::sleep_for(5ms);  // every worker back asleep on an empty queue
        for (unsigned i = 0; i < workers; ++i) ASSERT_TRUE(pool.enqueue(static_cast<int>(round)));
        while (holding.load() < (round + 1) * workers && stranded.load() == 0) std::this_thread::sleep_for(1ms);
        ASSERT_EQ(stranded.load(), 0u) << "round " << round;
    }
    pool.shutdown(true);
    EXPECT_EQ(holding.load(), rounds * workers);
}

TEST(ThreadPool, DestroyingARunningPoolStopsItsWorkers) {
    Recorder recorder;
    recorder.gate.set_value();
    {
        ThreadPool<int> pool(4, recorder.entry());
        ASSERT_TRUE(pool.enqueue(1));
    }
    SUCCEED() << "no joinable thread was destroyed";
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
    EXPECT_GT(ended->load(), 0) << "threads started before the failure were joined";
}

}  // namespace
}  // namespace vantrel
