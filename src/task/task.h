#pragma once
// One unit of work, carried by value from a submitting host thread to a worker.

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
};

}  // namespace vantrel
