#include "platform/utf16.h"

#include <stdexcept>

namespace vantrel {
namespace {

constexpr char32_t replacement_character = 0xFFFD;

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

[[noreturn]] void throw_bad_conversion() { throw std::range_error("bad conversion"); }

void append_code_point(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Walks the code points of text; on_unpaired decides what an unpaired surrogate yields.
template <typename OnCodePoint, typename OnUnpaired>
void for_each_code_point(utf16_view text, OnCodePoint on_code_point, OnUnpaired on_unpaired) {
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size; ++i) {
        const char32_t unit = static_cast<char16_t>(text[i]);
        if (!is_high_surrogate(unit) && !is_low_surrogate(unit)) {
            on_code_point(unit);
        } else if (is_high_surrogate(unit) && i + 1 < size &&
                   is_low_surrogate(static_cast<char16_t>(text[i + 1]))) {
            const char32_t low = static_cast<char16_t>(text[++i]);
            on_code_point(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        } else {
            on_unpaired();
        }
    }
}

std::size_t utf8_size_upper_bound(utf16_view text) { return text.size() * 3; }

}  // namespace

utf16_view host_text(const vantrel_char* text) {
    if (text == nullptr) throw std::invalid_argument("null argument");
    return utf16_view(text);
}

std::string to_utf8(utf16_view text) {
    std::string out;
    out.reserve(utf8_size_upper_bound(text));
    for_each_code_point(
        text, [&](char32_t cp) { append_code_point(out, cp); }, [] { throw_bad_conversion(); });
    return out;
}

std::string to_utf8_lossy(utf16_view text) {
    std::string out;
    out.reserve(utf8_size_upper_bound(text));
    for_each_code_point(
        text, [&](char32_t cp) { append_code_point(out, cp); },
        [&] { append_code_point(out, replacement_character); });
    return out;
}

void check_utf16(utf16_view text) {
    for_each_code_point(text, [](char32_t) {}, [] { throw_bad_conversion(); });
}

}  // namespace vantrel
