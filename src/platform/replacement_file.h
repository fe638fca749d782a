#pragma once
// A file that replaces the one at a path whole: its bytes go to a temporary file in the
// same directory, which commit() renames over the path. A reader sees the old file or the
// complete new one, never a part; a failure leaves the old file as it was.

#include <cstddef>
#include <memory>

#include "platform/utf16.h"

namespace vantrel {

class ReplacementFile {
public:
    // Creates the temporary file; throws std::system_error (or std::range_error for a path
    // that is not valid UTF-16) when it cannot.
    explicit ReplacementFile(const utf16_string& path);
    // Removes the temporary file unless commit() succeeded.
    ~ReplacementFile();

    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Buffered; may throw std::system_error.
    void write(const char* data, std::size_t size);
    // Flushes, closes and moves the file into place; throws std::system_error on failure.
    void commit();

private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace vantrel
