#pragma once
// Property checks of the fuzz targets: a failed one prints what broke and aborts, which
// libFuzzer records as a crash with its input, and which fails the corpus replay test.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vantrel::fuzz {

inline std::string printable(const std::string& bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what.c_str());
    std::abort();
}

}  // namespace vantrel::fuzz

#define FUZZ_REQUIRE(condition, what)                                      \
    do {                                                                   \
        if (!(condition)) ::vantrel::fuzz::fail(__FILE__, __LINE__, what); \
    } while (false)
