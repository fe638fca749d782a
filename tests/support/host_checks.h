#pragma once
// What a scenario process tells its test, on Linux and Windows alike: checks made inside it,
// where gtest's assertions do not reach the test, and measured figures the test reads back
// from its output; and how a test judges an outcome as one of the library's error texts.
// Header-only and standard C++ only.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vantrel::test {

// Whether this build runs under a sanitizer whose allocator or speed changes what is measured.
constexpr bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

// Every failure is printed as "CHECK FAILED: ..." and counted for the exit code.
class ChildChecks {
public:
    void expect(bool condition, const std::string& what) {
        if (condition) return;
        ++failures;
        std::printf("CHECK FAILED: %s\n", what.c_str());
        std::fflush(stdout);
    }
    int exit_code() const { return failures == 0 ? 0 : 1; }

private:
    int failures = 0;
};

// A measured value printed by a scenario as "FIGURE <name> <value>", and read back by the
// test; NaN when the output holds none.
inline void print_figure(const std::string& name, double value) {
    std::printf("FIGURE %s %.3f\n", name.c_str(), value);
    std::fflush(stdout);
}

inline double figure(const std::string& output, const std::string& name) {
    const std::string key = "FIGURE " + name + " ";
    const std::size_t at = output.find(key);
    if (at == std::string::npos) return std::nan("");
    return std::strtod(output.c_str() + at + key.size(), nullptr);
}

// True when text is one of the library's error outcomes: a server or libpq error text.
inline bool is_error_text(const std::string& text) {
    static const char* const prefixes[] = {
        "ERROR:",                         // the server's own, and "ERROR: Failed to set timeout: "
        "FATAL:",                         // a backend ended by the server
        "connection to server",           // libpq could not connect
        "server closed the connection",   // the session ended under a statement
        "could not receive data from server",
        "could not send data to server",
        "no connection to the server",
        "terminating connection",
        "SSL SYSCALL error",
    };
    for (const char* prefix : prefixes) {
        if (text.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace vantrel::test
