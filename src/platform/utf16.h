#pragma once
// UTF-16 text as the host passes it, and its conversion to the library's UTF-8.

#include <string>
#include <string_view>

namespace vantrel {

// A UTF-16 code unit in the host's own character type, the exports' vantrel_char.
#if defined(_WIN32)
using utf16_unit = wchar_t;
#else
using utf16_unit = char16_t;
#endif

using utf16_string = std::basic_string<utf16_unit>;
using utf16_view = std::basic_string_view<utf16_unit>;

// The NUL-terminated host string as a view; throws std::invalid_argument("null argument").
utf16_view host_text(const utf16_unit* text);

// Strict conversion. Any unpaired surrogate throws std::range_error("bad conversion").
std::string to_utf8(utf16_view text);

// For messages only: every unpaired surrogate becomes U+FFFD.
std::string to_utf8_lossy(utf16_view text);

// Throws std::range_error("bad conversion") where to_utf8 would.
void check_utf16(utf16_view text);

}  // namespace vantrel
