#pragma once
// A file that replaces the one at a path whole: its bytes go to a temporary file in the
// same directory, which commit() moves over the path. A reader sees the old file or the
// complete new one, never a part; a failure leaves the old file as it was. What the host set
// up at the path stays: the replaced file's mode, owner and group (as far as the process may
// set them), and a symbolic link, whose final target is the file replaced. What cannot be
// replaced without losing the host's set-up (a second hard link, a FIFO, a device) is opened
// by the path and written in place instead, as a plain open and write would.

#include <cstddef>
#include <memory>

#include "platform/utf16.h"

namespace vantrel {

class ReplacementFile {
public:
    // Creates the temporary file, or opens the target when it is written in place; throws
    // std::system_error (or std::range_error for a path that is not valid UTF-16) when it cannot.
    explicit ReplacementFile(const utf16_string& path);
    // Removes the temporary file unless commit() succeeded; leaves nothing open.
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
