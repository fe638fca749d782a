// vantrel.dll measured as a Windows host sees it, beside what that host could write itself,
// cross-built with the DLL and run by scripts/bench.sh under Wine.
//
//   vantrel_bench_windows lib-tput    CONNINFO DIR N   N small tasks through the DLL, from the
//                                                      first submission until cVantrelDeinit(true)
//   vantrel_bench_windows client-tput CONNINFO DIR N   a direct client of the same libpq.dll: as
//                                                      many threads as the pool has workers
//   vantrel_bench_windows submit      CONNINFO DIR ROUNDS BATCH
//     Each round submits BATCH tasks, each call timed alone, and waits for their files; then
//     pushes the same Tasks into a plain std::mutex + std::deque, each push timed alone.
//
// Every small task sends "set statement_timeout = 30000" then "select 1" and gets its own file.
// DIR is a Windows path; result files are DIR\rNNNNNNN.txt.

#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "task/task.h"
#include "vantrel.h"

namespace {

std::wstring wide(const std::string& text) {
    const std::u16string units = bench::utf16(text);
    return std::wstring(units.begin(), units.end());
}

std::string result_name(unsigned i) {
    char name[32];
    std::snprintf(name, sizeof name, "r%07u.txt", i);
    return name;
}

std::vector<std::string> result_paths(const std::string& dir, unsigned n) {
    std::vector<std::string> paths;
    for (unsigned i = 0; i < n; ++i) paths.push_back(dir + "\\" + result_name(i));
    return paths;
}

bool check_files(const std::vector<std::string>& paths, const char* expected) {
    for (const std::string& path : paths) {
        const std::string content = bench::read_file(path);
        if (content != expected) {
            std::fprintf(stderr, "%s holds '%s'\n", path.c_str(), content.c_str());
            return false;
        }
    }
    return true;
}

// ---- the library

int lib_tput(const std::string& conninfo, const std::string& dir, unsigned n) {
    const std::wstring conn = wide(conninfo);
    const std::vector<std::string> paths = result_paths(dir, n);
    std::vector<std::wstring> wide_paths;
    for (const std::string& path : paths) wide_paths.push_back(wide(path));
    cVantrelInit();
    const std::int64_t t0 = bench::now_ns();
    bool ok = true;
    for (unsigned i = 0; i < n; ++i) ok = cVantrel(conn.c_str(), L";", L"select 1", 30, wide_paths[i].c_str()) && ok;
    cVantrelDeinit(true);
    const std::int64_t t1 = bench::now_ns();
    if (!ok || !check_files(paths, "1")) return 1;
    bench::result("tasks_per_s", n / ((t1 - t0) / 1e9));
    return 0;
}

// ---- the direct client: one session per thread, the same two statements, a temporary file
// then MoveFileExW over the result path

class Handle {
public:
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle; }
    bool close() {
        const HANDLE closing = handle;
        handle = INVALID_HANDLE_VALUE;
        return CloseHandle(closing) != 0;
    }

private:
    HANDLE handle;
};

bool write_result(const std::wstring& temporary, const std::wstring& path, const std::string& text) {
    Handle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    return file.close() && ok && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool run_task(PGconn* conn, const std::wstring& temporary, const std::wstring& path) {
    PGresult* set = PQexec(conn, "set statement_timeout = 30000");
    const bool set_ok = PQresultStatus(set) == PGRES_COMMAND_OK;
    PQclear(set);
    if (!set_ok) return false;
    PGresult* res = PQexec(conn, "select 1");
    std::string text;
    if (PQresultStatus(res) == PGRES_TUPLES_OK) {
        for (int r = 0; r < PQntuples(res); ++r) {
            if (r > 0) text += "\r\n";
            for (int c = 0; c < PQnfields(res); ++c) {
                if (c > 0) text += ';';
                text.append(PQgetvalue(res, r, c), PQgetlength(res, r, c));
            }
        }
    } else {
        text = PQresultErrorMessage(res);
    }
    PQclear(res);
    return write_result(temporary, path, text);
}

int client_tput(const std::string& conninfo, const std::string& dir, unsigned n) {
    const std::vector<std::string> paths = result_paths(dir, n);
    std::vector<std::wstring> wide_paths;
    for (const std::string& path : paths) wide_paths.push_back(wide(path));
    std::atomic<unsigned> next{0};
    std::atomic<bool> ok{true};
    const std::int64_t t0 = bench::now_ns();
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < bench::library_workers(); ++t) {
        threads.emplace_back([&, t] {
            const std::wstring temporary = wide(dir + "\\.client-" + std::to_string(t) + ".tmp");
            PGconn* conn = PQconnectdb(conninfo.c_str());
            if (PQstatus(conn) != CONNECTION_OK) ok = false;
            for (unsigned i; ok && (i = next.fetch_add(1)) < n;) {
                if (!run_task(conn, temporary, wide_paths[i])) ok = false;
            }
            PQfinish(conn);
        });
    }
    for (std::thread& t : threads) t.join();
    const std::int64_t t1 = bench::now_ns();
    if (!ok || !check_files(paths, "1")) return 1;
    bench::result("tasks_per_s", n / ((t1 - t0) / 1e9));
    return 0;
}

// ---- submission against a bare push

struct PlainQueue {
    std::mutex mutex;
    std::deque<vantrel::Task> tasks;
};

int submit(const std::string& conninfo, const std::string& dir, unsigned rounds, unsigned batch) {
    const std::string query8 = bench::report_query();
    const std::wstring conn = wide(conninfo), query = wide(query8);
    const std::vector<std::string> paths = result_paths(dir, rounds * batch);
    std::vector<std::wstring> wide_paths;
    for (const std::string& path : paths) wide_paths.push_back(wide(path));
    std::vector<std::uint64_t> library, plain;
    PlainQueue queue;
    bench::TickRate rate;
    cVantrelInit();
    bool ok = true;
    for (unsigned r = 0; r < rounds; ++r) {
        const unsigned first = r * batch;
        for (unsigned i = first; i < first + batch; ++i) {
            const std::uint64_t t0 = bench::ticks();
            ok = cVantrel(conn.c_str(), L";", query.c_str(), 30, wide_paths[i].c_str()) && ok;
            library.push_back(bench::ticks() - t0);
        }
        const std::vector<std::string> expected(paths.begin() + first, paths.begin() + first + batch);
        ok = bench::wait_for_files(expected, 60000) && ok;
        for (unsigned i = first; i < first + batch; ++i) {
            const std::uint64_t t0 = bench::ticks();
            vantrel::Task task;
            task.conninfo = conninfo;
            task.query = query8;
            task.path = wide_paths[i];
            task.sep = ";";
            task.time = 30;
            {
                const std::lock_guard<std::mutex> lock(queue.mutex);
                queue.tasks.push_back(std::move(task));
            }
            plain.push_back(bench::ticks() - t0);
        }
        queue.tasks.clear();
    }
    cVantrelDeinit(true);
    const double ns_per_tick = rate.ns_per_tick();
    const std::string sample = bench::read_file(paths.front());
    if (!ok || sample.empty() || sample.rfind("ERROR", 0) == 0) {
        std::fprintf(stderr, "unexpected outcome: %s\n", sample.c_str());
        return 1;
    }
    bench::result("submit_lib_p50_ns", bench::quantile(library, 0.50) * ns_per_tick);
    bench::result("submit_lib_p99_ns", bench::quantile(library, 0.99) * ns_per_tick);
    bench::result("submit_plain_p50_ns", bench::quantile(plain, 0.50) * ns_per_tick);
    bench::result("submit_plain_p99_ns", bench::quantile(plain, 0.99) * ns_per_tick);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* text =
        "vantrel_bench_windows {lib-tput|client-tput} CONNINFO DIR N | submit CONNINFO DIR ROUNDS BATCH";
    if (argc < 5) bench::usage(text);
    const std::string mode = argv[1], conninfo = argv[2], dir = argv[3];
    try {
        if (mode == "lib-tput") return lib_tput(conninfo, dir, std::stoul(argv[4]));
        if (mode == "client-tput") return client_tput(conninfo, dir, std::stoul(argv[4]));
        if (mode == "submit" && argc == 6) return submit(conninfo, dir, std::stoul(argv[4]), std::stoul(argv[5]));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel_bench_windows: %s\n", e.what());
        return 1;
    }
    bench::usage(text);
}
