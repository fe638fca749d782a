// The host side on Linux: dlopen, and scenarios in forked children of the test program.

#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/host_library.h"

namespace vantrel::test {

std::map<std::string, Scenario>& scenarios();

namespace {

const char* library_path(Build build) {
    return build == Build::debug ? VANTREL_DEBUG_LIBRARY_PATH : VANTREL_LIBRARY_PATH;
}

template <typename Function>
void bind(void* library, const char* name, Function& target) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "missing export %s\n", name);
        std::_Exit(91);
    }
    target = reinterpret_cast<Function>(symbol);
}

std::string read_capture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

Exports load_library(Build build) {
    Exports exports;
    exports.module = dlopen(library_path(build), RTLD_NOW | RTLD_LOCAL);
    if (exports.module == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        std::_Exit(90);
    }
    bind(exports.module, "cVantrelInit", exports.init);
    bind(exports.module, "cVantrelDeinit", exports.deinit);
    bind(exports.module, "cVantrel", exports.query);
    bind(exports.module, "cVantrelExec", exports.exec);
    return exports;
}

bool free_library(const Exports& exports) { return dlclose(exports.module) == 0; }

bool library_loaded(Build build) {
    void* loaded = dlopen(library_path(build), RTLD_NOW | RTLD_NOLOAD);
    if (loaded != nullptr) dlclose(loaded);
    return loaded != nullptr;
}

// The forked child and the file its standard output and error go to.
struct Child::Process {
    pid_t pid = -1;
    std::string capture_path;
    bool waited = false;
};

Child::Child(const std::function<int()>& body) : process(std::make_unique<Process>()) {
    char capture_path[] = "/tmp/vantrel-host-XXXXXX";
    const int capture = mkstemp(capture_path);
    if (capture < 0) throw std::runtime_error("mkstemp: " + std::string(std::strerror(errno)));
    process->capture_path = capture_path;
    std::fflush(nullptr);
    std::cout.flush();
    process->pid = fork();
    if (process->pid < 0) {
        const int error = errno;
        close(capture);
        unlink(capture_path);
        throw std::runtime_error("fork: " + std::string(std::strerror(error)));
    }
    if (process->pid == 0) {
        dup2(capture, STDOUT_FILENO);
        dup2(capture, STDERR_FILENO);
        int code = 92;
        try {
            code = body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "scenario threw: %s\n", error.what());
        }
        std::cout.flush();
        std::exit(code);
    }
    close(capture);
}

Child::Child(const std::string& scenario, const Args& args)
    : Child([&] {
          const auto found = scenarios().find(scenario);
          if (found != scenarios().end()) return found->second(args);
          std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
          return 92;
      }) {}

Child::~Child() {
    if (!process->waited) wait(0);
    unlink(process->capture_path.c_str());
}

// The status of a child killed or ended by a signal is not an exit code, so it never reads as
// a passing one.
HostRun Child::wait(int timeout_seconds) {
    process->waited = true;
    HostRun run;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds) * time_scale();
    while (true) {
        const pid_t waited = waitpid(process->pid, &status, WNOHANG);
        if (waited == process->pid) break;
        if (waited < 0 && errno != EINTR) throw std::runtime_error("waitpid: " + std::string(std::strerror(errno)));
        if (std::chrono::steady_clock::now() > deadline) {
            kill(process->pid, SIGKILL);
            while (waitpid(process->pid, &status, 0) < 0 && errno == EINTR) {
            }
            run.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!run.timed_out && WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    run.output = read_capture(process->capture_path);
    return run;
}

// A forked child runs its scenario straight from Child's constructor.
bool run_scenario_child(int&) { return false; }

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peak_resident_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// "5" resets VmHWM to the present resident size (Linux 4.0 on); false where the kernel refuses it.
bool reset_peak_resident() {
    std::ofstream clear_refs("/proc/self/clear_refs");
    clear_refs << "5";
    clear_refs.flush();
    return static_cast<bool>(clear_refs);
}

double heap_in_use_kib() { return static_cast<double>(mallinfo2().uordblks) / 1024; }

}  // namespace vantrel::test
