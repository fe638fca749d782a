// Host-side cost of one submission: cVantrel against a plain mutex + deque enqueue of the
// same Task, each call timed alone, in alternating rounds in one process.
//
//   vantrel_bench_submit idle CONNINFO THREADS ROUNDS BATCH
//     Each round every thread submits BATCH tasks, then waits until the pool has written
//     them all (so the queue stays short); the reference round enqueues the same Tasks and
//     the main thread drains them. A third series adds a condition variable with
//     2 x processors waiting consumers, i.e. the wake-up a real pool pays for.
//   vantrel_bench_submit stuck CONNINFO THREADS CALLS
//     Every worker is first stuck in pg_sleep; then CALLS submissions per thread queue up
//     behind them. Same for the reference (its deque grows as long).
//
// Run from a scratch directory: the Windows-style result paths land there as plain names.

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "task/task.h"
#include "vantrel.h"

namespace {

using bench::ticks;

std::string result_path(unsigned thread, unsigned index) {
    char name[128];
    std::snprintf(name, sizeof name,
                  "C:\\Users\\report\\AppData\\Local\\Temp\\vantrel\\batch-%02u\\result_%06u.txt",
                  thread, index);
    return name;
}

// Everything a submitting thread needs, built before any timing.
struct Arguments {
    std::string conninfo8, query8, sep8 = ";";
    std::u16string conninfo, query, sep = u";";
    std::vector<std::u16string> paths;  // per call
    std::vector<std::string> paths8;
};

Arguments make_arguments(const std::string& conninfo, unsigned thread, unsigned calls) {
    Arguments a;
    a.conninfo8 = conninfo;
    a.query8 = bench::report_query();
    a.conninfo = bench::utf16(a.conninfo8);
    a.query = bench::utf16(a.query8);
    for (unsigned i = 0; i < calls; ++i) {
        a.paths8.push_back(result_path(thread, i));
        a.paths.push_back(bench::utf16(a.paths8.back()));
    }
    return a;
}

// The task the library would build from the same arguments (the path stays UTF-16).
vantrel::Task make_task(const Arguments& a, unsigned i) {
    vantrel::Task task;
    task.conninfo = a.conninfo8;
    task.query = a.query8;
    task.path = a.paths[i];
    task.sep = a.sep8;
    task.time = 30;
    return task;
}

// The references: what a host would write itself.
struct PlainQueue {
    std::mutex mutex;
    std::deque<vantrel::Task> tasks;

    void enqueue(const Arguments& a, unsigned i) {
        vantrel::Task task = make_task(a, i);
        std::lock_guard<std::mutex> lock(mutex);
        tasks.push_back(std::move(task));
    }
    void drain() {
        std::lock_guard<std::mutex> lock(mutex);
        tasks.clear();
    }
};

struct WakingQueue {
    std::mutex mutex;
    std::condition_variable available;
    std::deque<vantrel::Task> tasks;
    std::atomic<unsigned> taken{0};
    bool stop = false;
    std::vector<std::thread> consumers;

    explicit WakingQueue(unsigned count) {
        for (unsigned i = 0; i < count; ++i) consumers.emplace_back([this] { consume(); });
    }
    ~WakingQueue() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        available.notify_all();
        for (std::thread& t : consumers) t.join();
    }
    void consume() {
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            available.wait(lock, [this] { return stop || !tasks.empty(); });
            if (stop) return;
            vantrel::Task task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            ++taken;
            lock.lock();
        }
    }
    void enqueue(const Arguments& a, unsigned i) {
        vantrel::Task task = make_task(a, i);
        {
            std::lock_guard<std::mutex> lock(mutex);
            tasks.push_back(std::move(task));
        }
        available.notify_one();
    }
    void wait_taken(unsigned count) {
        while (taken.load() < count) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
};

// Reusable rendezvous of a fixed number of threads.
class Barrier {
public:
    explicit Barrier(unsigned count) : count(count) {}
    void arrive_and_wait() {
        std::unique_lock<std::mutex> lock(mutex);
        const unsigned gen = generation;
        if (++arrived == count) {
            arrived = 0;
            ++generation;
            changed.notify_all();
        } else {
            changed.wait(lock, [&] { return gen != generation; });
        }
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    unsigned count, arrived = 0, generation = 0;
};

// Context switches of the calling thread: voluntary (it blocked, e.g. on the queue mutex)
// and involuntary (another thread took its processor).
struct Switches {
    long voluntary = 0, involuntary = 0;
    static Switches now() {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return {usage.ru_nvcsw, usage.ru_nivcsw};
    }
};

struct Series {
    std::vector<std::vector<std::uint64_t>> per_thread;
    std::atomic<long> voluntary{0}, involuntary{0};
    explicit Series(unsigned threads) : per_thread(threads) {}
    void count(const Switches& before) {
        const Switches after = Switches::now();
        voluntary += after.voluntary - before.voluntary;
        involuntary += after.involuntary - before.involuntary;
    }
    std::vector<std::uint64_t> merged() const {
        std::vector<std::uint64_t> all;
        for (const auto& v : per_thread) all.insert(all.end(), v.begin(), v.end());
        return all;
    }
};

// Times each call(i) for i in [first, end) alone into thread's part of series, and counts the
// thread's context switches over the whole run.
template <typename Call>
void time_calls(Series& series, unsigned thread, unsigned first, unsigned end, Call call) {
    const Switches before = Switches::now();
    for (unsigned i = first; i < end; ++i) {
        const std::uint64_t t0 = ticks();
        call(i);
        const std::uint64_t t1 = ticks();
        series.per_thread[thread].push_back(t1 - t0);
    }
    series.count(before);
}

void report(const std::string& prefix, const Series& series, double ns_per_tick, bool tail) {
    std::vector<std::uint64_t> all = series.merged();
    bench::result(prefix + "_p50_ns", bench::quantile(all, 0.50) * ns_per_tick);
    bench::result(prefix + "_p99_ns", bench::quantile(all, 0.99) * ns_per_tick);
    if (tail) {
        bench::result(prefix + "_p999_ns", bench::quantile(all, 0.999) * ns_per_tick);
        bench::result(prefix + "_max_ns", static_cast<double>(all.back()) * ns_per_tick);
    }
    bench::result(prefix + "_samples", static_cast<double>(all.size()));
    bench::result(prefix + "_switches_voluntary", static_cast<double>(series.voluntary.load()));
    bench::result(prefix + "_switches_involuntary", static_cast<double>(series.involuntary.load()));
}

int run_idle(const std::string& conninfo, unsigned threads, unsigned rounds, unsigned batch) {
    std::vector<Arguments> args;
    for (unsigned t = 0; t < threads; ++t) args.push_back(make_arguments(conninfo, t, rounds * batch));
    Series library(threads), plain(threads), waking(threads);
    for (unsigned t = 0; t < threads; ++t) {
        library.per_thread[t].reserve(rounds * batch);
        plain.per_thread[t].reserve(rounds * batch);
        waking.per_thread[t].reserve(rounds * batch);
    }
    PlainQueue plain_queue;
    WakingQueue waking_queue(bench::library_workers());
    std::atomic<bool> failed{false};
    bench::TickRate rate;
    cVantrelInit();

    Barrier barrier(threads + 1);
    std::vector<std::thread> submitters;
    for (unsigned t = 0; t < threads; ++t) {
        submitters.emplace_back([&, t] {
            const Arguments& a = args[t];
            for (unsigned r = 0; r < rounds; ++r) {
                const unsigned first = r * batch;
                barrier.arrive_and_wait();
                time_calls(library, t, first, first + batch, [&](unsigned i) {
                    if (!cVantrel(a.conninfo.c_str(), a.sep.c_str(), a.query.c_str(), 30, a.paths[i].c_str())) {
                        failed = true;
                    }
                });
                barrier.arrive_and_wait();  // main waits for the files
                barrier.arrive_and_wait();
                time_calls(plain, t, first, first + batch, [&](unsigned i) { plain_queue.enqueue(a, i); });
                barrier.arrive_and_wait();  // main drains
                barrier.arrive_and_wait();
                time_calls(waking, t, first, first + batch, [&](unsigned i) { waking_queue.enqueue(a, i); });
                barrier.arrive_and_wait();
            }
        });
    }
    unsigned waking_total = 0;
    for (unsigned r = 0; r < rounds; ++r) {
        const unsigned first = r * batch;
        barrier.arrive_and_wait();
        barrier.arrive_and_wait();
        std::vector<std::string> expected;
        for (unsigned t = 0; t < threads; ++t) {
            for (unsigned i = first; i < first + batch; ++i) expected.push_back(args[t].paths8[i]);
        }
        if (!bench::wait_for_files(expected, 60000)) failed = true;
        barrier.arrive_and_wait();
        barrier.arrive_and_wait();
        plain_queue.drain();
        barrier.arrive_and_wait();
        barrier.arrive_and_wait();
        waking_total += threads * batch;
        waking_queue.wait_taken(waking_total);
    }
    for (std::thread& s : submitters) s.join();
    cVantrelDeinit(true);
    const double ns_per_tick = rate.ns_per_tick();

    // Every file must hold the rows: an error would mean the bench measured something else.
    const std::string sample = bench::read_file(args[0].paths8[0]);
    if (sample.empty() || sample.rfind("ERROR", 0) == 0) {
        std::fprintf(stderr, "unexpected outcome: %s\n", sample.c_str());
        failed = true;
    }
    const std::string tag = threads == 1 ? "submit_st" : "submit_mt";
    if (threads == 1) {
        // The first call of a round finds the queue empty and every worker asleep: it is the
        // one that wakes a worker.
        std::vector<std::uint64_t> first, rest;
        const std::vector<std::uint64_t>& all = library.per_thread[0];
        for (std::size_t i = 0; i < all.size(); ++i) (i % batch == 0 ? first : rest).push_back(all[i]);
        bench::result(tag + "_lib_waking_p50_ns", bench::quantile(first, 0.50) * ns_per_tick);
        bench::result(tag + "_lib_others_p99_ns", bench::quantile(rest, 0.99) * ns_per_tick);
    }
    report(tag + "_lib", library, ns_per_tick, false);
    report(tag + "_plain", plain, ns_per_tick, false);
    report(tag + "_wake", waking, ns_per_tick, false);
    return failed ? 1 : 0;
}

int run_stuck(const std::string& conninfo, unsigned threads, unsigned calls) {
    const unsigned workers = bench::library_workers();
    const std::string sleeper8 = conninfo + " application_name=vbench_sleep";
    const std::u16string sleeper = bench::utf16(sleeper8);
    cVantrelInit();
    for (unsigned w = 0; w < workers; ++w) {
        const std::u16string path = bench::utf16("sleep-" + std::to_string(w) + ".txt");
        cVantrel(sleeper.c_str(), u";", u"select pg_sleep(3600)", 0, path.c_str());
    }
    const std::string count_sql =
        "select count(*) from pg_stat_activity where application_name = 'vbench_sleep' "
        "and state = 'active'";
    const std::int64_t deadline = bench::now_ns() + 30'000'000'000;
    while (bench::query_one(conninfo, count_sql) != std::to_string(workers)) {
        if (bench::now_ns() > deadline) {
            std::fprintf(stderr, "workers did not all reach pg_sleep\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::vector<Arguments> args;
    for (unsigned t = 0; t < threads; ++t) args.push_back(make_arguments(conninfo, t, calls));
    Series library(threads), plain(threads);
    PlainQueue plain_queue;
    std::atomic<bool> failed{false};
    bench::TickRate rate;
    auto run_threads = [&](auto body) {
        std::vector<std::thread> ts;
        for (unsigned t = 0; t < threads; ++t) ts.emplace_back(body, t);
        for (std::thread& s : ts) s.join();
    };
    run_threads([&](unsigned t) {
        const Arguments& a = args[t];
        library.per_thread[t].reserve(calls);
        time_calls(library, t, 0, calls, [&](unsigned i) {
            if (!cVantrel(a.conninfo.c_str(), a.sep.c_str(), a.query.c_str(), 30, a.paths[i].c_str())) failed = true;
        });
    });
    run_threads([&](unsigned t) {
        const Arguments& a = args[t];
        plain.per_thread[t].reserve(calls);
        time_calls(plain, t, 0, calls, [&](unsigned i) { plain_queue.enqueue(a, i); });
    });
    const double ns_per_tick = rate.ns_per_tick();

    // Stop without draining first, so the cancelled workers take nothing more from the queue.
    std::thread stopper([] { cVantrelDeinit(false); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    bench::query_one(conninfo,
                     "select count(pg_cancel_backend(pid)) from pg_stat_activity "
                     "where application_name = 'vbench_sleep'");
    stopper.join();

    const std::string tag = threads == 1 ? "stuck_st" : "stuck_mt";
    report(tag + "_lib", library, ns_per_tick, true);
    report(tag + "_plain", plain, ns_per_tick, true);
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* text =
        "vantrel_bench_submit idle CONNINFO THREADS ROUNDS BATCH | stuck CONNINFO THREADS CALLS";
    if (argc < 2) bench::usage(text);
    const std::string mode = argv[1];
    try {
        if (mode == "idle" && argc == 6) {
            return run_idle(argv[2], std::stoul(argv[3]), std::stoul(argv[4]), std::stoul(argv[5]));
        }
        if (mode == "stuck" && argc == 5) {
            return run_stuck(argv[2], std::stoul(argv[3]), std::stoul(argv[4]));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel_bench_submit: %s\n", e.what());
        return 1;
    }
    bench::usage(text);
}
