#pragma once
// Files as the host suites see them, by vantrel_char paths on Linux and Windows alike (through
// std::filesystem, which converts a Linux path's UTF-16 to the UTF-8 the kernel takes).

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <chrono>
#include <system_error>
#include <vector>

#include "support/host_library.h"

namespace vantrel::test {

#if defined(_WIN32)
inline const Text separator = L"\\";
#else
inline const Text separator = u"/";
#endif

inline std::string read_file(const Text& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Anything at the path, a dangling link included.
inline bool file_exists(const Text& path) {
    std::error_code ignored;
    return std::filesystem::symlink_status(std::filesystem::path(path), ignored).type() !=
           std::filesystem::file_type::not_found;
}

inline void write_file(const Text& path, const std::string& content) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + utf8(path));
}

// A new folder; throws when it cannot be made or already stands there.
inline void make_dir(const Text& path) {
    if (!std::filesystem::create_directory(std::filesystem::path(path))) {
        throw std::runtime_error("folder already there: " + utf8(path));
    }
}

inline void remove_tree(const Text& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(dir), ignored);
}

// Names in dir (not recursive) that start with prefix.
inline std::vector<Text> names_starting_with(const Text& dir, const Text& prefix) {
    std::vector<Text> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(dir))) {
        const std::string name = entry.path().filename().u8string();
        if (name.rfind(utf8(prefix), 0) == 0) names.push_back(text(name));
    }
    return names;
}

// A fresh empty folder under the system's temporary folder, its name ending in the separator.
inline Text make_temp_folder() {
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    static unsigned made = 0;
    for (unsigned attempt = 0;; ++attempt) {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        const std::filesystem::path dir =
            temp / ("vantrel-test-" + std::to_string(stamp) + "-" + std::to_string(made++));
        std::error_code error;
        if (std::filesystem::create_directory(dir, error)) return text(dir.u8string()) + separator;
        if (attempt > 100) throw std::runtime_error("cannot create a temporary folder: " + error.message());
    }
}

}  // namespace vantrel::test
