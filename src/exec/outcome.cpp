#include "exec/outcome.h"

namespace vantrel {
namespace {

std::size_t text_size(const PGresult* result, std::size_t sep_size) {
    const int rows = PQntuples(result);
    const int columns = PQnfields(result);
    if (rows == 0) return 0;
    std::size_t size = static_cast<std::size_t>(rows - 1);
    if (columns > 1) size += static_cast<std::size_t>(rows) * (columns - 1) * sep_size;
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            size += static_cast<std::size_t>(PQgetlength(result, row, column));
        }
    }
    return size;
}

}  // namespace

std::string rows_as_text(const PGresult* result, const std::string& sep) {
    const int rows = PQntuples(result);
    const int columns = PQnfields(result);
    std::string text;
    text.reserve(text_size(result, sep.size()));
    for (int row = 0; row < rows; ++row) {
        if (row > 0) text += '\n';
        for (int column = 0; column < columns; ++column) {
            if (column > 0) text += sep;
            // Text-format values hold no NUL, so the reported length is the C string's length.
            text.append(PQgetvalue(result, row, column),
                        static_cast<std::size_t>(PQgetlength(result, row, column)));
        }
    }
    return text;
}

}  // namespace vantrel
