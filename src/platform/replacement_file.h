#pragma once
// A file that replaces the one at a path whole, written exactly where a plain open for writing
// would write, and refused exactly where that open would be refused: the system opens the path
// and decides. Its bytes go to a temporary file in the folder of the file opened, which
// commit() moves over it, so a reader sees the old file or the complete new one, never a part;
// a failure leaves the old file as it was. The replacement keeps the old file's mode (without
// setuid and setgid), owner and group, and symbolic links on the way to it.
// Written in place instead, as the plain open and write would: a file with other hard links, a
// FIFO, a device, a stream of a file, and a file whose folder refuses the temporary file or the
// move (or, on Linux, whose owner or group the process cannot give the new file).

#include <cstddef>
#include <memory>

#include "platform/utf16.h"

namespace vantrel {

class ReplacementFile {
public:
    // Opens the target as the plain open would and creates the temporary file beside it; throws
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
