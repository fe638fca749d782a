#include "exec/worker.h"

#include <spdlog/spdlog.h>

#include <exception>
#include <map>
#include <string>

#include "exec/connection.h"
#include "exec/conninfo_mask.h"
#include "exec/result_file.h"
#include "platform/log.h"

namespace vantrel {
namespace {

using ConnectionMap = std::map<std::string, Connection>;

// A failed write ends only this task's delivery: the worker goes on.
void deliver(const Task& task, ResultFileWriter& writer, WorkerWatch& watch) {
    std::string failure;
    {
        const WorkerWatch::Wait wait(watch);  // a FIFO waits for its reader
        try {
            writer.commit();
            return;
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    // This line of the library's log spells "Can`t" with a grave accent.
    spdlog::error("worker_function(): Can`t write results to file \"{}\": {}", to_utf8_lossy(task.path),
                  failure);
}

// Constructing a session connects.
Connection& session_for(const Task& task, ConnectionMap& connections, WorkerWatch& watch) {
    const WorkerWatch::Wait wait(watch);
    return connections.try_emplace(task.conninfo, task.conninfo).first->second;
}

void run_task(ThreadPool<Task>& pool, const Task& task, ConnectionMap& connections, WorkerWatch& watch) {
    Connection& connection = session_for(task, connections, watch);
    const bool tracing = debug_enabled();
    // Debug lines cost a description and a lock; skip building what nobody will see.
    if (tracing) {
        spdlog::debug("worker_function(): Dequeue task {}", task.describe());
        spdlog::debug("worker_function(): Queue length is {}", pool.queue_length());
    }
    if (!connection.connected()) {
        if (tracing) {
            spdlog::debug("worker_function(): Creating connection to {}",
                          mask_conninfo_passwords(task.conninfo));
        }
        const WorkerWatch::Wait wait(watch);
        connection.connect(task.conninfo);
    }
    // The outcome goes to the result file as it arrives; the writer holds none of it.
    ResultFileWriter writer(task.path);
    {
        // A worker the exit leaves here drops its staged file before it parks.
        const WorkerWatch::Wait wait(watch, connection.cancel_handle(), [&writer] { writer.clear(); });
        connection.execute(task.query, task.sep, task.time, task.drop, writer.sink());
    }
    if (tracing) {
        spdlog::debug("worker_function(): Query execution finished. Result:\n'''{}'''",
                      writer.excerpt());
    }
    deliver(task, writer, watch);
}

}  // namespace

void worker_function(ThreadPool<Task>* pool, WorkerWatch& watch) {
    spdlog::info("worker_function(): Staring worker");  // the library's start line reads "Staring"
    ConnectionMap connections;
    {
        Task task;
        while (pool->dequeue(task)) {
            // Nothing a single task throws may end the worker: the next task still runs.
            try {
                run_task(*pool, task, connections, watch);
            } catch (const std::exception& error) {
                log_error_quietly("worker_function(): {}", error.what());
            } catch (...) {
                log_error_quietly("worker_function(): unknown exception");
            }
        }
        spdlog::info("worker_function(): Worker shutdown");
    }
    const WorkerWatch::Wait wait(watch);  // closing a session says goodbye to its server
    connections.clear();
}

}  // namespace vantrel
