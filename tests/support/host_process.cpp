#include "support/host_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

template <typename Function>
void bind(void* library, const char* name, Function& target) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "missing export %s\n", name);
        std::_Exit(90);
    }
    target = reinterpret_cast<Function>(symbol);
}

Exports load_library() {
    void* library = dlopen(VANTREL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        std::_Exit(91);
    }
    Exports exports{};
    bind(library, "cVantrelInit", exports.init);
    bind(library, "cVantrelDeinit", exports.deinit);
    bind(library, "cVantrel", exports.query);
    bind(library, "cVantrelExec", exports.exec);
    return exports;
}

// Waits for the child until the deadline, then kills it. The status of a child killed or
// ended by a signal is not an exit code, so it never reads as a passing one.
HostRun wait_for_child(pid_t child, int timeout_seconds) {
    HostRun run;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    while (true) {
        const pid_t waited = waitpid(child, &status, WNOHANG);
        if (waited == child) break;
        if (waited < 0 && errno != EINTR) throw std::runtime_error("waitpid: " + std::string(std::strerror(errno)));
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            run.timed_out = true;
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    return run;
}

HostRun run_child(const std::function<int()>& scenario, int timeout_seconds) {
    char capture_path[] = "/tmp/vantrel-host-XXXXXX";
    const int capture = mkstemp(capture_path);
    if (capture < 0) throw std::runtime_error("mkstemp: " + std::string(std::strerror(errno)));
    std::fflush(nullptr);
    std::cout.flush();
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(capture);
        unlink(capture_path);
        throw std::runtime_error("fork: " + std::string(std::strerror(error)));
    }
    if (child == 0) {
        dup2(capture, STDOUT_FILENO);
        dup2(capture, STDERR_FILENO);
        int code = 92;
        try {
            code = scenario();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "scenario threw: %s\n", error.what());
        }
        std::cout.flush();
        std::exit(code);
    }
    close(capture);
    struct RemoveCapture {
        const char* path;
        ~RemoveCapture() { unlink(path); }
    } remove_capture{capture_path};
    HostRun run = wait_for_child(child, timeout_seconds);
    run.output = read_file(capture_path);
    return run;
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
