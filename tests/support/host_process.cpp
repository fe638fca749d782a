#include "support/host_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "api/get_thread_pool.h"

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

HostRun run_child(const std::function<int()>& scenario, int timeout_seconds) {
    char capture_path[] = "/tmp/vantrel-host-XXXXXX";
    const int capture = mkstemp(capture_path);
    if (capture < 0) throw std::runtime_error("mkstemp failed");
    std::fflush(nullptr);
    std::cout.flush();
    const pid_t child = fork();
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
    HostRun run;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            run.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    close(capture);
    run.output = read_file(capture_path);
    unlink(capture_path);
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

unsigned library_workers() { return pool_worker_count(std::thread::hardware_concurrency()); }

int count_lines_with(const std::string& text, const std::string& needle) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(needle) != std::string::npos) ++count;
    }
    return count;
}

std::u16string utf16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        const int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        char32_t cp = length == 1 ? byte : byte & (0x7F >> length);
        for (int k = 1; k < length; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        i += length;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
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
