#include "exec/result_file.h"

#include <cstring>

#include "platform/replacement_file.h"

namespace vantrel {

void write_result_file(const utf16_string& path, const std::string& outcome) {
    ReplacementFile file(path);
    const char* cursor = outcome.data();
    const char* const end = cursor + outcome.size();
    // Line by line, so no second copy of a large outcome is ever made.
    while (cursor < end) {
        const void* found = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
        const char* line_end = found ? static_cast<const char*>(found) : end;
        file.write(cursor, static_cast<std::size_t>(line_end - cursor));
        if (line_end == end) break;
        file.write("\r\n", 2);
        cursor = line_end + 1;
    }
    file.commit();
}

}  // namespace vantrel
