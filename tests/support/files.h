#pragma once
// Result files as a test reads them back. Header-only, so that a bare host program such as
// memcheck_host shares it too.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace vantrel::test {

// The whole file, bytes as they are; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The names in dir that start with ".vantrel-": temporary files of the library.
inline std::vector<std::string> temporary_files(const std::filesystem::path& dir) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".vantrel-", 0) == 0) found.push_back(name);
    }
    return found;
}

}  // namespace vantrel::test
