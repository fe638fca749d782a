#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "vantrel.h"

namespace vantrel {
namespace {

struct WellFormed {
    utf16_string input;
    std::string utf8;
};

TEST(Utf16, ConvertsEachEncodedLength) {
    const WellFormed cases[] = {
        {u"", ""},
        {u"A;z", "A;z"},
        {u"\u00e9", "\xc3\xa9"},                        // two bytes
        {u"\u0416\u0436", "\xd0\x96\xd0\xb6"},          // Cyrillic
        {u"\u20ac", "\xe2\x82\xac"},                    // three bytes
        {u"\uffff", "\xef\xbf\xbf"},                    // last unit outside surrogates
        {u"\U0001F600", "\xf0\x9f\x98\x80"},            // surrogate pair: four bytes
        {u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},            // highest code point
        {u"a\U00010000b", "a\xf0\x90\x80\x80" "b"},
    };
    for (const WellFormed& c : cases) {
        EXPECT_EQ(to_utf8(c.input), c.utf8);
        EXPECT_EQ(to_utf8_lossy(c.input), c.utf8);
        EXPECT_NO_THROW(check_utf16(c.input));
    }
}

TEST(Utf16, RefusesEveryUnpairedSurrogate) {
    const utf16_string ill_formed[] = {
        {0xD800, u'a'},          // high surrogate before an ordinary unit
        {u'a', 0xD83D},          // high surrogate at the very end
        {0xDC00},                // lone low surrogate
        {0xDE00, 0xD83D},        // pair in the wrong order
        {0xD83D, 0xD83D, 0xDE00} // high surrogate before another high one
    };
    for (const utf16_string& text : ill_formed) {
        try {
            to_utf8(text);
            ADD_FAILURE() << "accepted an unpaired surrogate";
        } catch (const std::range_error& error) {
            EXPECT_STREQ(error.what(), "bad conversion");
        }
        EXPECT_THROW(check_utf16(text), std::range_error);
    }
}

TEST(Utf16, LossyConversionMarksEachBadUnit) {
    const utf16_string text{u'C', 0xD800, u':', 0xDC00};
    EXPECT_EQ(to_utf8_lossy(text), "C\xef\xbf\xbd:\xef\xbf\xbd");
}

TEST(Utf16, HostTextRefusesNull) {
    EXPECT_THROW(host_text(nullptr), std::invalid_argument);
    EXPECT_EQ(host_text(u"abc").size(), 3u);
}

// The conversions work on blocks of units: every length and starting address around a block
// boundary, with the one unit that leaves the ASCII path at every position.
TEST(Utf16, BlockBoundariesLoseOrAddNothing) {
    alignas(16) vantrel_char buffer[64];
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length = 0; length <= 40; ++length) {
            vantrel_char* const text = buffer + offset;
            for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<vantrel_char>(u'a' + i % 26);
            text[length] = 0;
            text[length + 1] = u'x';  // beyond the terminator: never part of the text
            const utf16_view view = host_text(text);
            ASSERT_EQ(view.size(), length) << "offset " << offset;
            std::string ascii;
            for (std::size_t i = 0; i < length; ++i) ascii += static_cast<char>(u'a' + i % 26);
            EXPECT_EQ(to_utf8(view), ascii);
            EXPECT_NO_THROW(check_utf16(view));
            for (std::size_t at = 0; at < length; ++at) {
                utf16_string wide(view);
                wide[at] = u'\u00e9';
                std::string expected = ascii;
                expected.replace(at, 1, "\xc3\xa9");
                EXPECT_EQ(to_utf8(wide), expected) << "length " << length << " at " << at;
                wide[at] = 0x80;  // the lowest unit that is not ASCII
                expected = ascii;
                expected.replace(at, 1, "\xc2\x80");
                EXPECT_EQ(to_utf8(wide), expected) << "length " << length << " at " << at;
                wide[at] = 0xDC00;
                EXPECT_THROW(to_utf8(wide), std::range_error) << "length " << length << " at " << at;
                EXPECT_THROW(check_utf16(wide), std::range_error) << "length " << length << " at " << at;
            }
        }
    }
}

}  // namespace
}  // namespace vantrel
