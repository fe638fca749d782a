#include "support/host_process.h"

#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vantrel::test {
namespace {

HostRun run_child(const std::function<int()>& scenario, int timeout_seconds) {
    Child child(scenario);
    return child.wait(timeout_seconds);
}

}  // namespace

HostRun run_host(const std::function<int(const Exports&)>& scenario, int timeout_seconds) {
    return run_child([&] { return scenario(load_library()); }, timeout_seconds);
}

HostRun run_linked(const std::function<int()>& scenario, int timeout_seconds) {
    return run_child(
        [&] {
            spdlog::set_level(spdlog::level::debug);
            return scenario();
        },
        timeout_seconds);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

namespace {

// Removes the test's directories when the test process ends; forked hosts leave them alone.
struct TempDirs {
    pid_t owner = getpid();
    std::vector<std::string> paths;
    ~TempDirs() {
        if (getpid() != owner) return;
        std::error_code ignored;
        for (const std::string& path : paths) std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

std::string make_temp_dir() {
    static TempDirs dirs;
    char dir[] = "/tmp/vantrel-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp failed");
    dirs.paths.emplace_back(dir);
    return dir;
}

}  // namespace vantrel::test
