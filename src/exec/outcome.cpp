#include "exec/outcome.h"

namespace vantrel {

void append_rows(const PGresult* result, const std::string& sep, std::size_t& rows_so_far,
                 std::string& row, OutcomeSink& sink) {
    const int rows = PQntuples(result);
    const int columns = PQnfields(result);
    for (int r = 0; r < rows; ++r) {
        // One piece per row: the sink sees few, larger pieces.
        row.clear();
        if (rows_so_far++ > 0) row += '\n';
        for (int column = 0; column < columns; ++column) {
            if (column > 0) row += sep;
            // Text-format values hold no NUL, so the reported length is the C string's length.
            row.append(PQgetvalue(result, r, column),
                       static_cast<std::size_t>(PQgetlength(result, r, column)));
        }
        sink.append(row);
    }
}

}  // namespace vantrel
