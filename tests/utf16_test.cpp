#include "platform/utf16.h"

#include <gtest/gtest.h>

#include <stdexcept>

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

}  // namespace
}  // namespace vantrel
