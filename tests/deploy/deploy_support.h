#pragma once
// Helpers for the deployment tests: servers and a pooler of their own (started with
// scripts/pg-cluster.sh and scripts/pg-pooler.sh, stopped whatever happens), hosts that run
// beside the test, and the files they signal with.

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/host_process.h"
#include "support/pg_server.h"

namespace vantrel::test {

// A folder for one test's servers under the build tree; CTest's deploy cleanup stops whatever
// a killed test left running in it.
std::string deploy_dir(const std::string& test_name);

// A throwaway cluster in dir, stopped when this goes out of scope.
class Cluster {
public:
    // `pg-cluster.sh start dir settings...`
    static Cluster primary(const std::string& dir, const std::vector<std::string>& settings = {});
    // `pg-cluster.sh standby dir of.dir()`: a streaming standby made by pg_basebackup -R.
    static Cluster standby(const std::string& dir, const Cluster& of);
    ~Cluster();
    Cluster(Cluster&& other) noexcept;
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;
    Cluster& operator=(Cluster&&) = delete;

    void stop();
    void promote();
    const std::string& dir() const { return folder; }
    int port() const { return server_port; }
    // host=127.0.0.1 port=<port> user=<user> dbname=postgres
    std::string conninfo(const std::string& user = "postgres") const;

private:
    explicit Cluster(std::string dir);
    std::string folder;
    int server_port = 0;
};

// A throwaway PgBouncer in front of a cluster, for one role, stopped when this goes out of scope.
class Pooler {
public:
    Pooler(const std::string& dir, const Cluster& cluster, const std::string& user,
           const std::vector<std::string>& settings);
    ~Pooler();
    Pooler(const Pooler&) = delete;
    Pooler& operator=(const Pooler&) = delete;

    const std::string& conninfo() const { return client_conninfo; }

private:
    std::string folder;
    std::string client_conninfo;
};

// Polls count_sql on its own session until stopped and keeps the largest count seen.
class PeakSampler {
public:
    PeakSampler(const std::string& conninfo, std::string count_sql);
    ~PeakSampler();
    PeakSampler(const PeakSampler&) = delete;
    PeakSampler& operator=(const PeakSampler&) = delete;

    long stop();  // the peak
    long samples() const { return taken.load(); }

private:
    AdminSession session;
    std::string count_sql;
    std::atomic<bool> stopping{false};
    std::atomic<long> peak{0};
    std::atomic<long> taken{0};
    std::thread thread;
};

// Forked hosts that run beside the test, and the named signal files in one folder with which
// the test and the hosts wait for each other. Whatever happens, every signal is raised before
// the hosts are waited for at the end, so no host waits out its deadline after a failed check.
class HostGroup {
public:
    HostGroup(std::string dir, std::vector<std::string> signal_names);
    ~HostGroup();
    HostGroup(const HostGroup&) = delete;
    HostGroup& operator=(const HostGroup&) = delete;

    // Forks a host and returns once its library is loaded and its scenario started (it raises
    // "<name>-ready" first), so that no fork happens while the test's own threads are busy.
    void start(const std::string& name, std::function<int(const Exports&)> scenario,
               int timeout_seconds);
    // Waits for the host to end.
    HostRun finish(const std::string& name);

    void raise(const std::string& signal) const;
    bool wait(const std::string& signal, std::chrono::seconds limit) const;

private:
    std::string dir;
    std::vector<std::string> signal_names;
    std::map<std::string, std::future<HostRun>> hosts;
};

// The part of "<text>;<pid>" after the separator.
std::string after_separator(const std::string& text);

}  // namespace vantrel::test
