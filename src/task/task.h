#pragma once
// One unit of work, carried by value from a submitting host thread to a worker.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/utf16.h"

namespace vantrel {

struct Task {
    std::string conninfo;  // UTF-8; also the key of a worker's session map
    std::string query;     // UTF-8, run as one statement text
    utf16_string path;     // result file, exactly as the host passed it
    std::string sep;       // UTF-8, between the values of a row; empty for execute-only tasks
    std::int32_t time = 0; // statement timeout in seconds
    bool drop = false;     // true: the rows are not wanted, only "TRUE" or the error

    // One line for the log: every member but the connection string, which may hold a password.
    // Throws std::range_error("bad conversion") when path is not valid UTF-16.
    std::string describe() const;

    // The bytes it holds while it waits: its strings' buffers (capacity, not length: that is
    // what was allocated), the record itself and an allocator's header for each of the four
    // strings, whether or not a short one lives inside the record.
    std::size_t weight() const;
};

// The most the queue holds, in Task::weight bytes of waiting tasks; past it a submission is
// refused until workers have taken some. A 32-bit host has 2 GiB of address space (Windows
// without /LARGEADDRESSAWARE), which its own code and data, the libraries and every thread's
// stack share. 64 MiB is 1/32 of that: the rest stays the host's however long the server
// keeps the workers waiting. A task of a typical report host (a 100-byte connection string, a
// 200-byte statement and a 100-character path) weighs some 715 bytes on 64 bits and 650 on 32,
// so 94,000 to 103,000 such tasks wait at most: a minute and a half of work at 1,000 a second.
constexpr std::size_t waiting_tasks_budget = std::size_t{64} << 20;

}  // namespace vantrel
