#pragma once
// A file that replaces the one at a path whole, written exactly where a plain open for writing
// would write, and refused exactly where that open would be refused: the system opens the path
// and decides. Its bytes are staged in a file of their own in the folder of the file opened
// (on Linux a file without a name where the file system makes them), which commit() gives the
// name, so a reader sees the old file or the complete new one, never a part; a failure leaves
// the old file as it was. The replacement keeps the old file's mode (without setuid and
// setgid), owner, group and symbolic links on the way to it; its ACL and extended attributes
// on Linux, its attributes and security on Windows.
// Written in place instead, as the plain open and write would: a file with other hard links, a
// FIFO, a device, a stream of a file, and a file whose folder refuses the temporary file or the
// move (or, on Linux, whose owner, group or attributes the process cannot give the new file).

#include <cstddef>
#include <memory>

#include "platform/utf16.h"

namespace vantrel {

class ReplacementFile {
public:
    // Opens the target as the plain open would, or stages the bytes for a name still free; throws
    // std::system_error (or std::range_error for a path that is not valid UTF-16) when it cannot.
    explicit ReplacementFile(const utf16_string& path);
    // Removes the temporary file unless commit() succeeded; leaves nothing open.
    ~ReplacementFile();

    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Buffered; may throw std::system_error.
    void write(const char* data, std::size_t size);
    // Drops everything written so far, for an outcome that starts again; the path is not
    // opened again. May throw std::system_error.
    void restart();
    // Flushes, closes and gives the outcome the name; throws std::system_error on failure.
    void commit();

private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace vantrel
