// End-to-end small tasks: from the first submission until the last result file is on disk.
//
//   vantrel_bench_e2e lib-tput    CONNINFO DIR N K   library: N tasks, cVantrelDeinit(true) timed
//   vantrel_bench_e2e client-tput CONNINFO DIR N K   minimal client: 2 x processors threads
//   vantrel_bench_e2e lib-lat     CONNINFO DIR N     library, closed loop: as many tasks in
//                                                    flight as workers, each file seen by inotify
//   vantrel_bench_e2e client-lat  CONNINFO DIR N     minimal client, per-task latency
//   vantrel_bench_e2e sessions    CONNINFO DIR N K   server sessions open once N tasks are done
//
// K distinct connection strings (application_name differs), task i uses string i % K.
// Every task sends "set statement_timeout = 30000" then "select 1" and gets its own file.
//
// The minimal client is the fastest plain way to do the same work: one libpq session per
// thread and connection string, no queue, no logging, no text conversion, a temporary file
// renamed over the result path.

#include <fcntl.h>
#include <libpq-fe.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "vantrel.h"

namespace {

constexpr const char* task_query = "select 1";

std::string result_name(unsigned i) {
    char name[32];
    std::snprintf(name, sizeof name, "r%07u.txt", i);
    return name;
}

bool check_files(const std::string& dir, unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
        const std::string content = bench::read_file(dir + "/" + result_name(i));
        if (content != "1") {
            std::fprintf(stderr, "%s/%s holds '%s'\n", dir.c_str(), result_name(i).c_str(), content.c_str());
            return false;
        }
    }
    return true;
}

// ---- the library as a host uses it

struct LibraryArgs {
    std::vector<std::u16string> conninfos;
    std::vector<std::u16string> paths;
};

LibraryArgs library_args(const std::string& conninfo, const std::string& dir, unsigned n, unsigned k) {
    LibraryArgs a;
    for (const std::string& c : bench::conninfos(conninfo, k, "vbench")) a.conninfos.push_back(bench::utf16(c));
    for (unsigned i = 0; i < n; ++i) a.paths.push_back(bench::utf16(dir + "/" + result_name(i)));
    return a;
}

bool submit(const LibraryArgs& a, unsigned i) {
    return cVantrel(a.conninfos[i % a.conninfos.size()].c_str(), u";", u"select 1", 30, a.paths[i].c_str());
}

int lib_tput(const std::string& conninfo, const std::string& dir, unsigned n, unsigned k) {
    const LibraryArgs a = library_args(conninfo, dir, n, k);
    cVantrelInit();
    const std::int64_t t0 = bench::now_ns();
    bool ok = true;
    for (unsigned i = 0; i < n; ++i) ok = submit(a, i) && ok;
    cVantrelDeinit(true);
    const std::int64_t t1 = bench::now_ns();
    if (!ok || !check_files(dir, n)) return 1;
    bench::result("tasks_per_s", n / ((t1 - t0) / 1e9));
    return 0;
}

int lib_lat(const std::string& conninfo, const std::string& dir, unsigned n) {
    const LibraryArgs a = library_args(conninfo, dir, n, 1);
    const int fd = inotify_init1(IN_CLOEXEC);
    // A result file appears whole, moved in (IN_MOVED_TO) or linked in (IN_CREATE).
    if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CREATE) < 0) {
        std::perror("inotify");
        return 1;
    }
    std::vector<std::int64_t> submitted(n), latency;
    latency.reserve(n);
    cVantrelInit();
    const unsigned in_flight = std::min(n, bench::library_workers());
    unsigned next = 0, done = 0;
    bool ok = true;
    const std::int64_t t0 = bench::now_ns();
    for (; next < in_flight; ++next) {
        submitted[next] = bench::now_ns();
        ok = submit(a, next) && ok;
    }
    alignas(inotify_event) char buffer[64 * 1024];
    while (done < n && ok) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        const std::int64_t seen = bench::now_ns();
        if (got <= 0) {
            std::perror("read inotify");
            return 1;
        }
        for (char* p = buffer; p < buffer + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            p += sizeof(inotify_event) + event->len;
            if (event->len == 0 || event->name[0] != 'r') continue;
            const unsigned index = static_cast<unsigned>(std::strtoul(event->name + 1, nullptr, 10));
            latency.push_back(seen - submitted[index]);
            ++done;
            if (next < n) {
                submitted[next] = bench::now_ns();
                ok = submit(a, next) && ok;
                ++next;
            }
        }
    }
    const std::int64_t t1 = bench::now_ns();
    cVantrelDeinit(true);
    close(fd);
    if (!ok || !check_files(dir, n)) return 1;
    bench::result("lat_p50_us", bench::quantile(latency, 0.50) / 1e3);
    bench::result("lat_p99_us", bench::quantile(latency, 0.99) / 1e3);
    bench::result("tasks_per_s", n / ((t1 - t0) / 1e9));
    return 0;
}

int sessions(const std::string& conninfo, const std::string& dir, unsigned n, unsigned k) {
    const LibraryArgs a = library_args(conninfo, dir, n, k);
    cVantrelInit();
    std::vector<std::string> expected;
    for (unsigned i = 0; i < n; ++i) {
        submit(a, i);
        expected.push_back(dir + "/" + result_name(i));
    }
    if (!bench::wait_for_files(expected, 120000)) return 1;
    const std::string open = bench::query_one(
        conninfo, "select count(*) from pg_stat_activity where application_name like 'vbench%'");
    cVantrelDeinit(true);
    bench::result("sessions", std::stod(open));
    return 0;
}

// ---- the minimal client

class Client {
public:
    Client(std::vector<std::string> conninfos, std::string dir) : conninfos(std::move(conninfos)), dir(std::move(dir)) {}

    // Runs task i on this thread's session for its connection string; false on any failure.
    bool run(unsigned thread, unsigned i, std::map<std::string, PGconn*>& sessions) {
        const std::string& conninfo = conninfos[i % conninfos.size()];
        PGconn*& conn = sessions[conninfo];
        if (conn == nullptr) conn = PQconnectdb(conninfo.c_str());
        if (PQstatus(conn) != CONNECTION_OK) return false;
        PGresult* set = PQexec(conn, "set statement_timeout = 30000");
        const bool set_ok = PQresultStatus(set) == PGRES_COMMAND_OK;
        PQclear(set);
        if (!set_ok) return false;
        PGresult* res = PQexec(conn, task_query);
        std::string text;
        if (PQresultStatus(res) == PGRES_TUPLES_OK) {
            const int rows = PQntuples(res), columns = PQnfields(res);
            for (int r = 0; r < rows; ++r) {
                if (r > 0) text += "\r\n";
                for (int c = 0; c < columns; ++c) {
                    if (c > 0) text += ';';
                    text.append(PQgetvalue(res, r, c), PQgetlength(res, r, c));
                }
            }
        } else {
            text = PQresultErrorMessage(res);
        }
        PQclear(res);
        const std::string temporary = dir + "/.client-" + std::to_string(thread) + ".tmp";
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) return false;
        const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        return close(fd) == 0 && written &&
               rename(temporary.c_str(), (dir + "/" + result_name(i)).c_str()) == 0;
    }

    // n tasks over 2 x processors threads; per-task latencies when wanted.
    bool run_all(unsigned n, std::vector<std::int64_t>* latency) {
        std::atomic<unsigned> next{0};
        std::atomic<bool> ok{true};
        std::mutex latency_mutex;
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < bench::library_workers(); ++t) {
            threads.emplace_back([&, t] {
                std::map<std::string, PGconn*> sessions;
                std::vector<std::int64_t> mine;
                for (unsigned i; (i = next.fetch_add(1)) < n;) {
                    const std::int64_t start = bench::now_ns();
                    if (!run(t, i, sessions)) ok = false;
                    if (latency) mine.push_back(bench::now_ns() - start);
                }
                for (auto& session : sessions) PQfinish(session.second);
                if (latency) {
                    std::lock_guard<std::mutex> lock(latency_mutex);
                    latency->insert(latency->end(), mine.begin(), mine.end());
                }
            });
        }
        for (std::thread& t : threads) t.join();
        return ok;
    }

private:
    std::vector<std::string> conninfos;
    std::string dir;
};

int client_tput(const std::string& conninfo, const std::string& dir, unsigned n, unsigned k) {
    Client client(bench::conninfos(conninfo, k, "vbench"), dir);
    const std::int64_t t0 = bench::now_ns();
    const bool ok = client.run_all(n, nullptr);
    const std::int64_t t1 = bench::now_ns();
    if (!ok || !check_files(dir, n)) return 1;
    bench::result("tasks_per_s", n / ((t1 - t0) / 1e9));
    return 0;
}

int client_lat(const std::string& conninfo, const std::string& dir, unsigned n) {
    Client client(bench::conninfos(conninfo, 1, "vbench"), dir);
    std::vector<std::int64_t> latency;
    const std::int64_t t0 = bench::now_ns();
    const bool ok = client.run_all(n, &latency);
    const std::int64_t t1 = bench::now_ns();
    if (!ok || !check_files(dir, n)) return 1;
    bench::result("lat_p50_us", bench::quantile(latency, 0.50) / 1e3);
    bench::result("lat_p99_us", bench::quantile(latency, 0.99) / 1e3);
    bench::result("tasks_per_s", n / ((t1 - t0) / 1e9));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* text = "vantrel_bench_e2e {lib-tput|client-tput|sessions} CONNINFO DIR N K | {lib-lat|client-lat} CONNINFO DIR N";
    if (argc < 5) bench::usage(text);
    const std::string mode = argv[1], conninfo = argv[2], dir = argv[3];
    const unsigned n = static_cast<unsigned>(std::stoul(argv[4]));
    const unsigned k = argc > 5 ? static_cast<unsigned>(std::stoul(argv[5])) : 1;
    try {
        if (mode == "lib-tput") return lib_tput(conninfo, dir, n, k);
        if (mode == "client-tput") return client_tput(conninfo, dir, n, k);
        if (mode == "lib-lat") return lib_lat(conninfo, dir, n);
        if (mode == "client-lat") return client_lat(conninfo, dir, n);
        if (mode == "sessions") return sessions(conninfo, dir, n, k);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel_bench_e2e: %s\n", e.what());
        return 1;
    }
    bench::usage(text);
}
