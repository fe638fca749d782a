// The two exports that queue a statement for the workers.

#include <spdlog/spdlog.h>

#include <type_traits>
#include <utility>

#include "api/boundary.h"
#include "api/library_lifetime.h"
#include "api/refusal_count.h"
#include "task/task.h"
#include "vantrel.h"

static_assert(std::is_same_v<vantrel_char, vantrel::utf16_unit>, "host strings pass unconverted");

namespace vantrel {
namespace {

constexpr const char* rejected = "Task rejected: ";

// Each export's refusals for a full queue, so a flooding host gets one line a second.
RefusalCount query_refusals;
RefusalCount exec_refusals;

Task make_task(const vantrel_char* conninfo, const vantrel_char* sep, const vantrel_char* query,
               std::int32_t time, const vantrel_char* path, bool drop) {
    Task task;
    task.conninfo = to_utf8(host_text(conninfo));
    if (!drop) task.sep = to_utf8(host_text(sep));
    task.query = to_utf8(host_text(query));
    task.path = utf16_string(host_text(path));
    // The path stays UTF-16 in the task, but one that cannot be shown in UTF-8 is refused
    // here, as the task description would refuse it, whether or not debug lines are on.
    check_utf16(task.path);
    task.time = time;
    task.drop = drop;
    return task;
}

void warn_refused(const char* export_name, ThreadPool<Task>::Admission admission,
                  RefusalCount& full_queue_refusals) {
    if (admission.outcome != ThreadPool<Task>::Admission::full) {
        spdlog::warn("{}(): Task enqueue FAILED", export_name);
        return;
    }
    const std::uint64_t refused = full_queue_refusals.count(RefusalCount::Clock::now());
    if (refused > 0) spdlog::warn("{}(): Task queue FULL, {} refused since the last report", export_name, refused);
}

bool submit(const char* export_name, RefusalCount& full_queue_refusals, Task task) {
    const bool tracing = debug_enabled();
    if (tracing) spdlog::debug("{}(): Enqueue task {}", export_name, task.describe());
    ThreadPool<Task>& pool = get_thread_pool();
    if (tracing) spdlog::debug("{}(): Queue length is {}", export_name, pool.queue_length());
    const ThreadPool<Task>::Admission admission = pool.enqueue(std::move(task));
    if (admission) return true;
    warn_refused(export_name, admission, full_queue_refusals);
    return false;
}

}  // namespace
}  // namespace vantrel

extern "C" VANTREL_API bool VANTREL_CALL cVantrel(const vantrel_char* conninfo,
                                                  const vantrel_char* sep,
                                                  const vantrel_char* query, int32_t time,
                                                  const vantrel_char* path) {
    return vantrel::guarded("cVantrel", vantrel::rejected, false, [&] {
        return vantrel::submit("cVantrel", vantrel::query_refusals,
                               vantrel::make_task(conninfo, sep, query, time, path, false));
    });
}

extern "C" VANTREL_API bool VANTREL_CALL cVantrelExec(const vantrel_char* conninfo,
                                                      const vantrel_char* query, int32_t time,
                                                      const vantrel_char* path) {
    return vantrel::guarded("cVantrelExec", vantrel::rejected, false, [&] {
        return vantrel::submit("cVantrelExec", vantrel::exec_refusals,
                               vantrel::make_task(conninfo, nullptr, query, time, path, true));
    });
}
