#include <gtest/gtest.h>

#include "platform/foundation/TextEncoding.h"

namespace platform::text {
namespace {

TEST(TextEncodingTest, DecodesByCharsetName) {
    struct Case {
        std::string bytes;
        const char* charset;
        std::string utf8;
    } cases[] = {
        {"caf\xe9", "iso-8859-1", "caf\xc3\xa9"},
        {"caf\xe9", "ISO-8859-1", "caf\xc3\xa9"},
        {"\x80 5", "windows-1252", "\xe2\x82\xac 5"},
        {"caf\xc3\xa9", "utf-8", "caf\xc3\xa9"},
        {"caf\xc3\xa9", "UTF8", "caf\xc3\xa9"},
        {std::string("\xff\xfe"
                     "a\0b\0",
                     6),
         "utf-16", "ab"},
        {std::string("\0a\0b", 4), "utf-16", "ab"},
        {std::string("\xfe\xff\0a", 4), "UTF-16", "a"},
        {std::string("a\0", 2), "utf-16le", "a"},
        {std::string("\0\0\0a", 4), "utf-32", "a"},
        {"plain", "us-ascii", "plain"},
        {"", "iso-8859-1", ""},
    };
    for (const auto& c : cases) {
        auto r = decodeToUTF8(c.bytes, c.charset);
        ASSERT_TRUE(r) << c.charset << ": " << r.error().description();
        EXPECT_EQ(*r, c.utf8) << c.charset;
    }
}

TEST(TextEncodingTest, UnknownNamesAndBadBytesAreErrors) {
    struct Case {
        std::string bytes;
        const char* charset;
    } cases[] = {
        {"x", "x-no-such-charset"},
        {"x", ""},
        {"x", "utf-8//TRANSLIT"},  // iconv options are not part of a name
        {"x", "../etc"},
        {"\xc3\x28", "utf-8"},
        {"\xe9", "utf-8"},
        {"\x81", "windows-1252"},              // undefined in that code page
        {std::string("a\0b", 3), "utf-16le"},  // truncated last unit
        {"\x80", "us-ascii"},
    };
    for (const auto& c : cases) {
        auto r = decodeToUTF8(c.bytes, c.charset);
        ASSERT_FALSE(r) << c.charset;
        EXPECT_EQ(r.error().domain, kCocoaErrorDomain);
        EXPECT_EQ(r.error().code, kFileReadInapplicableStringEncodingError);
    }
    EXPECT_TRUE(isKnownCharset("windows-1252"));
    EXPECT_FALSE(isKnownCharset("utf-8//IGNORE"));
}

TEST(TextEncodingTest, EncodesOnlyWhatTheCharsetHolds) {
    EXPECT_EQ(*encodeFromUTF8("\xe2\x82\xac", "windows-1252"), "\x80");
    EXPECT_EQ(*encodeFromUTF8("caf\xc3\xa9", "iso-8859-1"), "caf\xe9");
    EXPECT_FALSE(encodeFromUTF8("\xe2\x82\xac", "iso-8859-1"));
    EXPECT_FALSE(encodeFromUTF8("\xff", "iso-8859-1"));  // not UTF-8 to begin with
}

TEST(TextEncodingTest, StrictUTF8Validation) {
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"ascii", true},
        {"\xc3\xa9", true},
        {"\xf0\x9f\x98\x80", true},
        {"\xc0\xaf", false},          // overlong '/'
        {"\xe0\x80\xaf", false},      // overlong
        {"\xed\xa0\x80", false},      // surrogate
        {"\xf4\x90\x80\x80", false},  // above U+10FFFF
        {"\xc3", false},              // truncated
        {"\x80", false},              // lone continuation
        {"\xff", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidUTF8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
        EXPECT_EQ(decodeUTF8(c.bytes).has_value(), c.valid) << testing::PrintToString(c.bytes);
    }
    EXPECT_EQ(decodeUTF8("a\xc3\xa9\xf0\x9f\x98\x80"), std::u32string(U"a\u00e9\U0001F600"));
}

}  // namespace
}  // namespace platform::text
