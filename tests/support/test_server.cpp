#include "support/test_server.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vantrel::test {

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string trim(std::string text) {
    const auto is_space = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    while (!text.empty() && is_space(text.back())) text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && is_space(text[start])) ++start;
    return text.substr(start);
}

// The build may compile in the folder: gtest_discover_tests cannot pass more than one
// environment variable per test (its property list swallows the separator).
#ifndef VANTREL_TEST_PG_DIR_PATH
#define VANTREL_TEST_PG_DIR_PATH ""
#endif
std::string test_pg_dir() { return env_or("VANTREL_TEST_PG_DIR", VANTREL_TEST_PG_DIR_PATH); }

std::string test_conninfo() {
    std::string conninfo = trim(env_or("VANTREL_TEST_CONNINFO"));
    if (!conninfo.empty()) return conninfo;
    const std::string dir = test_pg_dir();
    if (dir.empty()) return "";
    std::ifstream file(dir + "/conninfo");
    if (!file) return "";
    std::ostringstream content;
    content << file.rdbuf();
    return trim(content.str());
}

}  // namespace vantrel::test
