#pragma once
// The outcome text of a statement whose rows are wanted.

#include <libpq-fe.h>

#include <string>

namespace vantrel {

// The values of every row, columns joined by sep, rows by one line feed; no header, no
// quoting and no line feed after the last row. Sized once before it is filled.
std::string rows_as_text(const PGresult* result, const std::string& sep);

}  // namespace vantrel
