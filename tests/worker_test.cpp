// The worker body driven directly through a pool of its own, without a database.

#include "exec/worker.h"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "support/host_process.h"

namespace vantrel::test {
namespace {

// The worker body as the library's pool runs it.
ThreadPool<Task>::WorkerEntry watched(WorkerWatch& watch) {
    return [&watch](ThreadPool<Task>* pool) { worker_function(pool, watch); };
}

Task unreachable_task(utf16_string path) {
    Task task;
    task.conninfo = "host=/nonexistent-socket-dir password=Wk3rSecret";
    task.query = "select 1";
    task.path = std::move(path);
    task.sep = ";";
    task.time = 1;
    return task;
}

// Only a task built past the exports can carry such a path; the worker must survive it.
TEST(Worker, PathThatIsNotUtf16IsLoggedAndTheWorkerGoesOn) {
    const std::string dir = make_temp_dir();
    const utf16_string bad_path{u'/', u'n', u'o', 0xD800, u'x'};
    const HostRun run = run_linked([&] {
        WorkerWatch watch(1);
        ThreadPool<Task> pool(1, watched(watch));
        pool.enqueue(unreachable_task(bad_path));  // fails describing it for the debug line
        pool.enqueue(unreachable_task(utf16(dir + "/second")));
        pool.shutdown(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "[error] worker_function(): bad conversion"), 1)
        << run.output;
    EXPECT_EQ(read_file(dir + "/second").rfind("connection to server on socket", 0), 0u);

    const HostRun quiet = run_linked([&] {
        spdlog::set_level(spdlog::level::info);
        WorkerWatch watch(1);
        ThreadPool<Task> pool(1, watched(watch));
        pool.enqueue(unreachable_task(bad_path));  // reaches the file and fails there
        pool.shutdown(true);
        return 0;
    });
    ASSERT_EQ(quiet.exit_code, 0) << quiet.output;
    EXPECT_EQ(count_lines_with(quiet.output,
                               "[error] worker_function(): Can`t write results to file "
                               "\"/no\xef\xbf\xbdx\": bad conversion"),
              1)
        << quiet.output;
}

TEST(Worker, UnreachableServerIsTriedAgainBeforeEachTask) {
    const std::string dir = make_temp_dir();
    const HostRun run = run_linked([&] {
        WorkerWatch watch(1);
        ThreadPool<Task> pool(1, watched(watch));
        pool.enqueue(unreachable_task(utf16(dir + "/first")));
        pool.enqueue(unreachable_task(utf16(dir + "/second")));
        pool.shutdown(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "Connection constructed: "), 1);
    EXPECT_EQ(count_lines_with(run.output, "worker_function(): Creating connection to "), 2);
    EXPECT_EQ(count_lines_with(run.output, "Connection destructed."), 1);
    EXPECT_EQ(read_file(dir + "/second").rfind("connection to server on socket", 0), 0u);
    EXPECT_EQ(run.output.find("Wk3rSecret"), std::string::npos);
}

TEST(Worker, EachConnectionStringGetsItsOwnSessionByExactBytes) {
    const std::string dir = make_temp_dir();
    const HostRun run = run_linked([&] {
        WorkerWatch watch(1);
        ThreadPool<Task> pool(1, watched(watch));
        for (const char* conninfo : {"host=/nonexistent port=1", "port=1 host=/nonexistent",
                                     "host=/nonexistent  port=1", "host=/nonexistent port=1"}) {
            Task task = unreachable_task(utf16(dir + "/r"));
            task.conninfo = conninfo;
            pool.enqueue(task);
        }
        pool.shutdown(true);
        return 0;
    });
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(count_lines_with(run.output, "Connection constructed: "), 3);
    EXPECT_EQ(count_lines_with(run.output, "Connection destructed."), 3);
    EXPECT_EQ(count_lines_with(run.output, "[info] worker_function(): Staring worker"), 1);
    EXPECT_EQ(count_lines_with(run.output, "[info] worker_function(): Worker shutdown"), 1);
}

}  // namespace
}  // namespace vantrel::test
