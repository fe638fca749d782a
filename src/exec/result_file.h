#pragma once
// Delivery of an outcome text to the host: the file at the task's path.

#include <string>

#include "platform/utf16.h"

namespace vantrel {

// Replaces the file at path with the outcome, each line feed stored as CR LF and nothing
// added. Throws std::exception subclasses on failure; the previous file is then untouched.
void write_result_file(const utf16_string& path, const std::string& outcome);

}  // namespace vantrel
