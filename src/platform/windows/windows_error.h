#pragma once
// Win32 error codes as std::system_error, with the system's own message text.

#include <string>
#include <system_error>

namespace vantrel {

// Messages come from FormatMessageW, converted to UTF-8 without the trailing line break.
const std::error_category& windows_category() noexcept;

// The readable text of a Win32 error code, as windows_category() gives it.
std::string windows_error_text(unsigned long code);

// Throws std::system_error(code, windows_category(), operation): what() reads
// "<operation>: <system message>".
[[noreturn]] void throw_windows_error(const std::string& operation, unsigned long code);

}  // namespace vantrel
