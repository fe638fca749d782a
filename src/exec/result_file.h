#pragma once
// Delivery of an outcome text to the host: the file at the task's path.

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "exec/outcome_sink.h"
#include "platform/replacement_file.h"
#include "platform/utf16.h"

namespace vantrel {

// Writes one outcome text, as it arrives, to the file that will replace the one at path:
// each line feed stored as CR LF, nothing added. The path is opened at the first byte (or at
// commit, for an empty outcome), once; clear() empties what was written for the next outcome.
// A failure to write is held, and the rest of the outcome dropped, until commit().
class ResultFileWriter {
public:
    explicit ResultFileWriter(const utf16_string& path);

    ResultFileWriter(const ResultFileWriter&) = delete;
    ResultFileWriter& operator=(const ResultFileWriter&) = delete;

    void append(std::string_view piece);
    void clear();
    // This writer as the sink a statement's outcome goes to; valid while the writer lives.
    OutcomeSink sink();

    // Moves the complete outcome into place. Throws the held failure, or any failure of the
    // move itself, as std::exception subclasses; the previous file is then untouched.
    void commit();

    // For the log: the outcome's first 1024 bytes, line feeds as they are, and "..." after
    // them when there are more. May cut a UTF-8 sequence.
    std::string excerpt() const;

private:
    static constexpr std::size_t excerpt_limit = 1024;

    const utf16_string& path;
    std::optional<ReplacementFile> file;
    std::exception_ptr failure;
    std::string head;  // at most excerpt_limit + 1 bytes
};

}  // namespace vantrel
