#include "support/test_server.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vantrel::test {
namespace {

std::string env_or_empty(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string trim(std::string text) {
    const auto is_space = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    while (!text.empty() && is_space(text.back())) text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && is_space(text[start])) ++start;
    return text.substr(start);
}

}  // namespace

// The build may compile in the folder: gtest_discover_tests cannot pass more than one
// environment variable per test (its property list swallows the separator).
std::string test_pg_dir() {
    std::string dir = env_or_empty("VANTREL_TEST_PG_DIR");
#ifdef VANTREL_TEST_PG_DIR_PATH
    if (dir.empty()) dir = VANTREL_TEST_PG_DIR_PATH;
#endif
    return dir;
}

std::string test_conninfo() {
    std::string conninfo = trim(env_or_empty("VANTREL_TEST_CONNINFO"));
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
