#include "task/task.h"

#include <string_view>

namespace vantrel {
namespace {

// A double-quoted value with every double quote and backslash escaped by a backslash;
// nothing else is escaped, so line feeds and multi-byte sequences stand as they are.
void append_quoted(std::string& out, std::string_view value) {
    out += '"';
    for (const char byte : value) {
        if (byte == '"' || byte == '\\') out += '\\';
        out += byte;
    }
    out += '"';
}

// What a heap block costs beyond its bytes: glibc's chunk header and alignment, about the
// same as the Windows heap's.
constexpr std::size_t allocation_overhead = 2 * sizeof(void*);

}  // namespace

std::size_t Task::weight() const {
    constexpr std::size_t buffers = 4;
    return sizeof(Task) + buffers * allocation_overhead + conninfo.capacity() + query.capacity() +
           sep.capacity() + path.capacity() * sizeof(utf16_string::value_type);
}

std::string Task::describe() const {
    const std::string path_utf8 = to_utf8(path);
    std::string out;
    out.reserve(64 + query.size() + path_utf8.size() + sep.size());
    out += "{\"query\":";
    append_quoted(out, query);
    out += ", \"path\":";
    append_quoted(out, path_utf8);
    out += ", \"sep\":";
    append_quoted(out, sep);
    out += ", \"time\":\"";
    out += std::to_string(time);
    out += "\", \"drop\":\"";
    out += drop ? "True" : "False";
    out += "\"}";
    return out;
}

}  // namespace vantrel
