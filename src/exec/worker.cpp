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
void deliver(const Task& task, ResultFileWriter& writer) {
    try {
        writer.commit();
    } catch (const std::exception& error) {
        // "Can`t", grave accent and all: hosts match this line as it has always read.
        spdlog::error("worker_function(): Can`t write results to file \"{}\": {}",
                      to_utf8_lossy(task.path), error.what());
    }
}

void run_task(ThreadPool<Task>& pool, const Task& task, ConnectionMap& connections) {
    Connection& connection = connections.try_emplace(task.conninfo, task.conninfo).first->second;
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
        connection.connect(task.conninfo);
    }
    // The outcome goes to the temporary file as it arrives, never whole in memory.
    ResultFileWriter writer(task.path);
    connection.execute(task.query, task.sep, task.time, task.drop, writer.sink());
    if (tracing) {
        spdlog::debug("worker_function(): Query execution finished. Result:\n'''{}'''",
                      writer.excerpt());
    }
    deliver(task, writer);
}

}  // namespace

void worker_function(ThreadPool<Task>* pool) {
    spdlog::info("worker_function(): Staring worker");  // "Staring" as hosts' log readers know it
    ConnectionMap connections;
    {
        Task task;
        while (pool->dequeue(task)) {
            // Nothing a single task throws may end the worker: the next task still runs.
            try {
                run_task(*pool, task, connections);
            } catch (const std::exception& error) {
                log_error_quietly("worker_function(): {}", error.what());
            } catch (...) {
                log_error_quietly("worker_function(): unknown exception");
            }
        }
        spdlog::info("worker_function(): Worker shutdown");
    }
}

}  // namespace vantrel
