#pragma once
// UTF-8 to UTF-16 for the arguments a test host passes (the library itself only converts the
// other way). Header-only, so that a bare host program such as memcheck_host shares it too.

#include <string>

namespace vantrel::test {

// Well-formed UTF-8 only: test texts are written by the tests themselves.
inline std::u16string utf16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        const int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        char32_t cp = length == 1 ? byte : byte & (0x7F >> length);
        for (int k = 1; k < length; ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        i += length;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

}  // namespace vantrel::test
