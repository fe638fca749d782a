#pragma once
// What every program that drives the library from outside shares, on Linux and Windows alike
// (the tests of both and the bench): UTF-16 arguments, waiting for a result file, counting
// log lines and the pool's worker count. Header-only and standard C++ only, so that a bare
// host program can use it without the test framework.

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "pool/worker_count.h"
#include "support/utf16_text.h"

namespace vantrel::test {

// Worker threads of the library's pool on this machine.
inline unsigned library_workers() { return pool_worker_count(std::thread::hardware_concurrency()); }

// Lines of text that contain needle.
inline int count_lines_with(const std::string& text, const std::string& needle) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(needle) != std::string::npos) ++count;
    }
    return count;
}

// A value as the library's task lines show it: every double quote and backslash escaped.
inline std::string described(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// Waits until path exists or the deadline passes. Callers fail on false: a wait that ran out
// means the file never came.
inline bool wait_for_file(const std::filesystem::path& path, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        std::error_code ignored;
        if (std::filesystem::exists(path, ignored)) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace vantrel::test
