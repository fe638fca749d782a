#pragma once
// Where an outcome text goes as it arrives.

#include <functional>
#include <string_view>

namespace vantrel {

// append receives the outcome's pieces in order, line feeds as they are. clear drops every
// piece received so far: a later result of the same statement text, or an error part-way,
// replaces them whole.
struct OutcomeSink {
    std::function<void(std::string_view piece)> append;
    std::function<void()> clear;
};

}  // namespace vantrel
