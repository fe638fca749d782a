#include "exec/result_file.h"

#include <algorithm>
#include <cstring>

namespace vantrel {
namespace {

void write_with_crlf(ReplacementFile& file, const char* data, std::size_t size) {
    const char* cursor = data;
    const char* const end = data + size;
    while (cursor < end) {
        const void* found = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
        const char* line_end = found ? static_cast<const char*>(found) : end;
        if (line_end > cursor) file.write(cursor, static_cast<std::size_t>(line_end - cursor));
        if (line_end == end) break;
        file.write("\r\n", 2);
        cursor = line_end + 1;
    }
}

}  // namespace

ResultFileWriter::ResultFileWriter(const utf16_string& path) : path(path) {}

void ResultFileWriter::append(std::string_view piece) {
    if (head.size() <= excerpt_limit) {
        head.append(piece.substr(0, excerpt_limit + 1 - head.size()));
    }
    if (failure || piece.empty()) return;
    try {
        if (!file) file.emplace(path);
        write_with_crlf(*file, piece.data(), piece.size());
    } catch (...) {
        failure = std::current_exception();
    }
}

// The file already opened is emptied, never opened again: the path may lead elsewhere by now,
// and a FIFO would get the outcome twice. A path that could not be opened stays refused.
void ResultFileWriter::clear() {
    head.clear();
    if (!file) return;
    try {
        file->restart();
        failure = nullptr;
    } catch (...) {
        failure = std::current_exception();
    }
}

OutcomeSink ResultFileWriter::sink() {
    return {[this](std::string_view piece) { append(piece); }, [this] { clear(); }};
}

void ResultFileWriter::commit() {
    if (failure) std::rethrow_exception(failure);
    if (!file) file.emplace(path);
    file->commit();
}

std::string ResultFileWriter::excerpt() const {
    if (head.size() <= excerpt_limit) return head;
    return head.substr(0, excerpt_limit) + "...";
}

}  // namespace vantrel
