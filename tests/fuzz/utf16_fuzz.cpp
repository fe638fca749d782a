// The host's UTF-16 against glibc's iconv from UTF-16LE to UTF-8, which refuses an unpaired
// surrogate just as the library must. The input's bytes are code units, little-endian.

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/utf16.h"
#include "vantrel.h"

namespace {

using vantrel::fuzz::printable;

std::string units_text(const std::u16string& units) {
    std::string out;
    for (const char16_t unit : units) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04x ", static_cast<unsigned>(unit));
        out += hex;
    }
    return out;
}

// iconv's UTF-8 for the units, or false where it refuses them.
bool iconv_utf8(const std::u16string& units, std::string& out) {
    static iconv_t converter = iconv_open("UTF-8", "UTF-16LE");
    FUZZ_REQUIRE(converter != reinterpret_cast<iconv_t>(-1), "iconv_open(UTF-8, UTF-16LE)");
    iconv(converter, nullptr, nullptr, nullptr, nullptr);  // a fresh state for every input
    std::string bytes;
    for (const char16_t unit : units) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    std::vector<char> buffer(units.size() * 4 + 4);
    char* in = bytes.data();
    std::size_t in_left = bytes.size();
    char* cursor = buffer.data();
    std::size_t out_left = buffer.size();
    if (iconv(converter, &in, &in_left, &cursor, &out_left) == static_cast<std::size_t>(-1)) {
        // EILSEQ: a lone surrogate inside; EINVAL: a high surrogate ends the text.
        FUZZ_REQUIRE(errno == EILSEQ || errno == EINVAL, "iconv failed otherwise");
        return false;
    }
    out.assign(buffer.data(), cursor);
    return true;
}

// The units with every unpaired surrogate replaced by U+FFFD, written out plainly.
std::u16string with_replacements(const std::u16string& units) {
    std::u16string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        const bool pair_follows = i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
        if (high && pair_follows) {
            out += unit;
            out += units[++i];
        } else if (high || low) {
            out += u'\uFFFD';
        } else {
            out += unit;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    const vantrel::utf16_string text(units.begin(), units.end());
    const std::string where = "units " + units_text(units);

    std::string reference;
    const bool valid = iconv_utf8(units, reference);
    std::string converted;
    bool refused = false;
    try {
        converted = vantrel::to_utf8(text);
    } catch (const std::range_error&) {
        refused = true;
    }
    FUZZ_REQUIRE(refused == !valid, where + (valid ? ": refused what iconv converts" : ": converted what iconv refuses"));
    if (valid) FUZZ_REQUIRE(converted == reference, where + ": '" + printable(converted) + "' != iconv '" + printable(reference) + "'");

    bool check_refused = false;
    try {
        vantrel::check_utf16(text);
    } catch (const std::range_error&) {
        check_refused = true;
    }
    FUZZ_REQUIRE(check_refused == refused, where + ": check_utf16 disagrees with to_utf8");

    // The lossy form is iconv's conversion of the text with U+FFFD for each unpaired unit.
    std::string lossy_reference;
    FUZZ_REQUIRE(iconv_utf8(with_replacements(units), lossy_reference), where + ": replacement left a lone surrogate");
    const std::string lossy = vantrel::to_utf8_lossy(text);
    FUZZ_REQUIRE(lossy == lossy_reference, where + ": lossy '" + printable(lossy) + "' != '" + printable(lossy_reference) + "'");

    // The host's NUL-terminated string ends at its first NUL unit.
    vantrel::utf16_string terminated = text;
    terminated += vantrel_char{0};
    const std::size_t nul = text.find(vantrel_char{0});
    FUZZ_REQUIRE(vantrel::host_text(terminated.c_str()) == text.substr(0, nul), where + ": host_text length");
    return 0;
}
