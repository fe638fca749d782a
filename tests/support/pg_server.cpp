#include "support/pg_server.h"

#include <cstdlib>
#include <stdexcept>

#include "support/host_process.h"
#include "support/run_program.h"

namespace vantrel::test {
namespace {

#ifndef VANTREL_PG_SCRIPT_PATH
#define VANTREL_PG_SCRIPT_PATH ""
#endif
std::string pg_script() { return env_or("VANTREL_PG_SCRIPT", VANTREL_PG_SCRIPT_PATH); }

// `<pg-cluster.sh> <step> <test_pg_dir()>`, its standard output dropped.
void cluster_step(const std::string& step) {
    const std::string script = pg_script();
    const std::string dir = test_pg_dir();
    if (script.empty()) throw std::runtime_error("VANTREL_PG_SCRIPT is not set");
    if (dir.empty()) throw std::runtime_error("VANTREL_TEST_PG_DIR is not set");
    run_program_or_throw({script, step, dir});
}

}  // namespace

void restart_test_server() { cluster_step("restart"); }

void stop_test_server() { cluster_step("pause"); }

std::string query_one(const std::string& conninfo, const std::string& sql) {
    return AdminSession(conninfo).value(sql);
}

AdminSession::AdminSession(const std::string& conninfo) : session(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(session.get()) != CONNECTION_OK) {
        throw std::runtime_error("connect failed: " + trim(PQerrorMessage(session.get())));
    }
}

void AdminSession::run(const std::string& sql) {
    const ResultHandle result(PQexec(session.get(), sql.c_str()));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw std::runtime_error(sql + ": " + trim(PQerrorMessage(session.get())));
    }
}

std::vector<std::string> AdminSession::column(const std::string& sql) {
    const ResultHandle result(PQexec(session.get(), sql.c_str()));
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        throw std::runtime_error(sql + ": " + trim(PQerrorMessage(session.get())));
    }
    if (PQnfields(result.get()) < 1) throw std::runtime_error(sql + ": no column");
    std::vector<std::string> values;
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        values.emplace_back(PQgetvalue(result.get(), row, 0));
    }
    return values;
}

std::string AdminSession::value(const std::string& sql) {
    const std::vector<std::string> values = column(sql);
    if (values.empty()) throw std::runtime_error(sql + ": no row");
    return values.front();
}

AdvisoryGate::AdvisoryGate(const std::string& conninfo, int key) : session(conninfo), key(key) {
    session.run("select pg_advisory_lock(" + std::to_string(key) + ")");
}

std::string AdvisoryGate::gated(const std::string& columns) const {
    return "select " + columns + " from pg_advisory_xact_lock_shared(" + std::to_string(key) + ")";
}

bool AdvisoryGate::wait_for_waiting(long count, std::chrono::seconds limit) {
    // A bigint key below 2^32 is held as classid 0, objid key, objsubid 1.
    const std::string waiting = "select count(*) from pg_locks where locktype = 'advisory' and classid = 0 "
                                "and objsubid = 1 and not granted and objid = " + std::to_string(key);
    return wait_until([&] { return session.number(waiting) == count; }, limit);
}

void AdvisoryGate::open() { session.run("select pg_advisory_unlock(" + std::to_string(key) + ")"); }

bool on_every_worker(const std::string& conninfo, int key, unsigned workers, const std::string& prefix,
                     const std::function<void(unsigned, const std::string&)>& submit,
                     std::chrono::seconds limit) {
    AdvisoryGate gate(conninfo, key);
    const std::string sql = prefix + gate.gated("1");
    for (unsigned i = 0; i < workers; ++i) submit(i, sql);
    const bool all = gate.wait_for_waiting(workers, limit);
    gate.open();
    return all;
}

}  // namespace vantrel::test
