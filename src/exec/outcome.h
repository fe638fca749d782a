#pragma once
// The outcome text of a statement, handed on in pieces as the rows arrive.

#include <libpq-fe.h>

#include <cstddef>
#include <string>

namespace vantrel {

// Receives one outcome text in order, line feeds as they are. clear() drops everything
// received so far: a later result of the same statement text, or an error part-way, replaces
// it whole.
class OutcomeSink {
public:
    virtual void append(const char* data, std::size_t size) = 0;
    virtual void clear() = 0;

    void append(const std::string& text) { append(text.data(), text.size()); }

protected:
    ~OutcomeSink() = default;
};

// The outcome collected into a string.
class StringSink final : public OutcomeSink {
public:
    using OutcomeSink::append;
    void append(const char* data, std::size_t size) override { text.append(data, size); }
    void clear() override { text.clear(); }

    std::string text;
};

// Passes on the values of every row of result, columns joined by sep; rows are joined by one
// line feed, counted across calls by rows_so_far (0 at the start of a row set). No header, no
// quoting and no line feed after the last row. row is scratch space, kept to reuse its memory.
void append_rows(const PGresult* result, const std::string& sep, std::size_t& rows_so_far,
                 std::string& row, OutcomeSink& sink);

}  // namespace vantrel
