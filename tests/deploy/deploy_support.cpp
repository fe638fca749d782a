#include "deploy/deploy_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "fault/fault_support.h"
#include "support/run_program.h"

namespace vantrel::test {
namespace {

using Clock = std::chrono::steady_clock;

// Runs a script with arguments; its standard output is dropped, its errors reach the test log.
void run_script(const std::string& script, const std::vector<std::string>& arguments) {
    std::vector<std::string> command{script};
    command.insert(command.end(), arguments.begin(), arguments.end());
    run_program_or_throw(command);
}

std::string first_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!std::getline(file, line)) throw std::runtime_error("nothing in " + path);
    return line;
}

}  // namespace

std::string deploy_dir(const std::string& test_name) {
    const std::string dir = std::string(VANTREL_DEPLOY_DIR) + "/" + test_name;
    std::filesystem::create_directories(dir);
    return dir;
}

Cluster::Cluster(std::string dir) : folder(std::move(dir)) {}

Cluster Cluster::primary(const std::string& dir, const std::vector<std::string>& settings) {
    Cluster cluster(dir);
    std::vector<std::string> arguments{"start", dir};
    arguments.insert(arguments.end(), settings.begin(), settings.end());
    run_script(VANTREL_PG_SCRIPT_PATH, arguments);
    cluster.server_port = std::stoi(first_line(dir + "/port"));
    return cluster;
}

Cluster Cluster::standby(const std::string& dir, const Cluster& of) {
    Cluster cluster(dir);
    run_script(VANTREL_PG_SCRIPT_PATH, {"standby", dir, of.dir()});
    cluster.server_port = std::stoi(first_line(dir + "/port"));
    return cluster;
}

Cluster::Cluster(Cluster&& other) noexcept
    : folder(std::move(other.folder)), server_port(other.server_port) {
    other.folder.clear();
}

Cluster::~Cluster() {
    try {
        stop();
    } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
    }
}

void Cluster::stop() {
    if (!folder.empty()) run_script(VANTREL_PG_SCRIPT_PATH, {"stop", folder});
}

void Cluster::promote() { run_script(VANTREL_PG_SCRIPT_PATH, {"promote", folder}); }

std::string Cluster::conninfo(const std::string& user) const {
    return "host=127.0.0.1 port=" + std::to_string(server_port) + " user=" + user + " dbname=postgres";
}

Pooler::Pooler(const std::string& dir, const Cluster& cluster, const std::string& user,
               const std::vector<std::string>& settings)
    : folder(dir) {
    std::vector<std::string> arguments{"start", dir, cluster.dir(), user};
    arguments.insert(arguments.end(), settings.begin(), settings.end());
    run_script(VANTREL_POOLER_SCRIPT_PATH, arguments);
    client_conninfo = first_line(dir + "/conninfo");
}

Pooler::~Pooler() {
    try {
        run_script(VANTREL_POOLER_SCRIPT_PATH, {"stop", folder});
    } catch (const std::exception& error) {
        ADD_FAILURE() << error.what();
    }
}

PeakSampler::PeakSampler(const std::string& conninfo, std::string count_sql)
    : session(conninfo), count_sql(std::move(count_sql)) {
    thread = std::thread([this] {
        while (!stopping) {
            const long count = session.number(this->count_sql);
            if (count > peak) peak = count;
            ++taken;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
}

PeakSampler::~PeakSampler() { stop(); }

long PeakSampler::stop() {
    stopping = true;
    if (thread.joinable()) thread.join();
    return peak;
}

HostGroup::HostGroup(std::string dir, std::vector<std::string> signal_names)
    : dir(std::move(dir)), signal_names(std::move(signal_names)) {}

HostGroup::~HostGroup() {
    for (const std::string& signal : signal_names) raise(signal);
    for (auto& [name, host] : hosts) {
        if (host.valid()) host.wait();
    }
}

void HostGroup::raise(const std::string& signal) const { std::ofstream(dir + "/" + signal).flush(); }

bool HostGroup::wait(const std::string& signal, std::chrono::seconds limit) const {
    return wait_for_file(dir + "/" + signal, Clock::now() + limit);
}

void HostGroup::start(const std::string& name, std::function<int(const Exports&)> scenario,
                      int timeout_seconds) {
    const std::string ready = dir + "/" + name + "-ready";
    hosts[name] = std::async(std::launch::async, [ready, scenario, timeout_seconds] {
        return run_host(
            [&](const Exports& lib) {
                std::ofstream(ready).flush();
                return scenario(lib);
            },
            timeout_seconds);
    });
    // A host that never gets ready has failed already; its run tells why.
    if (!wait(name + "-ready", std::chrono::seconds(30))) ADD_FAILURE() << name << " did not start";
}

HostRun HostGroup::finish(const std::string& name) { return hosts.at(name).get(); }

std::string after_separator(const std::string& text) {
    const std::size_t at = text.find(';');
    return at == std::string::npos ? std::string() : text.substr(at + 1);
}

}  // namespace vantrel::test
