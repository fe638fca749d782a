#pragma once
// Small helpers shared by the bench programs: clocks, percentiles, result lines and a
// one-value libpq query; UTF-16 arguments, result-file waits and the worker count come from
// the tests' host-side support. Results go to standard error as
// "RESULT <key> <value>" lines, because the library itself writes to standard output.

#include <libpq-fe.h>
#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/host_side.h"

namespace bench {

inline std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Time stamp counter: a few nanoseconds to read, so it can bracket a single call.
// Converted to nanoseconds with a rate measured against the steady clock.
inline std::uint64_t ticks() { return __rdtsc(); }

class TickRate {
public:
    TickRate() : start_ns(now_ns()), start_ticks(ticks()) {}
    // Nanoseconds per tick over the time since construction (call after some work).
    double ns_per_tick() const {
        const std::int64_t ns = now_ns() - start_ns;
        const std::uint64_t t = ticks() - start_ticks;
        return t == 0 ? 1.0 : static_cast<double>(ns) / static_cast<double>(t);
    }

private:
    std::int64_t start_ns;
    std::uint64_t start_ticks;
};

// The q-quantile (0..1) by nearest rank; sorts the samples.
template <typename T>
double quantile(std::vector<T>& samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(samples.size()));
    if (rank >= samples.size()) rank = samples.size() - 1;
    return static_cast<double>(samples[rank]);
}

inline void result(const std::string& key, double value) {
    std::fprintf(stderr, "RESULT %s %.6g\n", key.c_str(), value);
}

// The host-side helpers the tests use too.
using vantrel::test::library_workers;
using vantrel::test::utf16;

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Waits until every path exists; false after timeout_ms.
inline bool wait_for_files(const std::vector<std::string>& paths, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (const std::string& path : paths) {
        if (!vantrel::test::wait_for_file(path, deadline)) return false;
    }
    return true;
}

// First column of the first row of sql on a fresh session.
inline std::string query_one(const std::string& conninfo, const std::string& sql) {
    PGconn* conn = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string error = PQerrorMessage(conn);
        PQfinish(conn);
        throw std::runtime_error(error);
    }
    PGresult* res = PQexec(conn, sql.c_str());
    std::string value;
    const bool ok = PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) > 0;
    if (ok) value = PQgetvalue(res, 0, 0);
    const std::string error = PQresultErrorMessage(res);
    PQclear(res);
    PQfinish(conn);
    if (!ok) throw std::runtime_error(sql + ": " + error);
    return value;
}

// The same connection string told apart by application_name, k of them.
inline std::vector<std::string> conninfos(const std::string& base, unsigned k, const std::string& tag) {
    std::vector<std::string> out;
    for (unsigned i = 0; i < k; ++i) out.push_back(base + " application_name=" + tag + std::to_string(i));
    return out;
}

[[noreturn]] inline void usage(const char* text) {
    std::fprintf(stderr, "usage: %s\n", text);
    std::exit(2);
}

// A select of about the size a report host sends, padded to exactly 200 bytes.
inline std::string report_query() {
    std::string q =
        "select relname, relkind, reltuples, relpages from pg_catalog.pg_class "
        "where relnamespace = 'pg_catalog'::regnamespace and relkind = 'r' order by relname "
        "limit 20 /* ";
    while (q.size() < 197) q += 'x';
    return q + " */";
}

}  // namespace bench
