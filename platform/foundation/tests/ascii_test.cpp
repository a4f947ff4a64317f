#include "platform/foundation/ASCII.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

namespace {

using namespace platform;
using namespace std::string_literals;

TEST(ASCII, CaseMappingTouchesOnlyASCIILetters) {
    struct Case {
        std::string in, lower, upper;
    };
    const std::vector<Case> cases = {
        {"", "", ""},
        {"Content-Type", "content-type", "CONTENT-TYPE"},
        {"@[`{", "@[`{", "@[`{"},  // the neighbours of A-Z and a-z
        {"Stra\xC3\x9F"
         "e \xC3\x84\xC3\xA4",
         "stra\xC3\x9F"
         "e \xC3\x84\xC3\xA4",
         "STRA\xC3\x9F"
         "E \xC3\x84\xC3\xA4"},
        {"\xC0\xE0\xFF", "\xC0\xE0\xFF", "\xC0\xE0\xFF"},  // Latin-1 letters stay as they are
        {"a\0B"s, "a\0b"s, "A\0B"s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lowercasedASCII(c.in), c.lower) << c.in;
        EXPECT_EQ(uppercasedASCII(c.in), c.upper) << c.in;
    }
}

TEST(ASCII, CaseMappingIgnoresTheProcessLocale) {
    // A Latin-1 locale, when the machine has one, would map 0xC0 <-> 0xE0 through <cctype>.
    const char* was = std::setlocale(LC_CTYPE, nullptr);
    std::string saved = was ? was : "C";
    for (const char* name : {"de_DE.ISO-8859-1", "en_US.ISO-8859-1", "C.UTF-8"}) {
        if (!std::setlocale(LC_CTYPE, name)) continue;
        EXPECT_EQ(lowercasedASCII("\xC0X"), "\xC0x") << name;
        EXPECT_FALSE(equalsIgnoringASCIICase("\xC0", "\xE0")) << name;
    }
    std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(ASCII, CaseInsensitiveComparisons) {
    struct Case {
        std::string a, b;
        bool equal, prefix, suffix, contains;
    };
    const std::vector<Case> cases = {
        {"", "", true, true, true, false},  // an empty needle is never "found"
        {"Set-Cookie", "set-cookie", true, true, true, true},
        {"Set-Cookie", "SET", false, true, false, true},
        {"Set-Cookie", "COOKIE", false, false, true, true},
        {"Set-Cookie", "t-c", false, false, false, true},
        {"Set", "Set-Cookie", false, false, false, false},  // needle longer than the text
        {"\xC3\x84", "\xC3\xA4", false, false, false, false},
        {"[", "{", false, false, false, false},  // 0x5B and 0x7B differ by the case bit only
    };
    for (const auto& c : cases) {
        EXPECT_EQ(equalsIgnoringASCIICase(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(hasPrefixIgnoringASCIICase(c.a, c.b), c.prefix) << c.a << " / " << c.b;
        EXPECT_EQ(hasSuffixIgnoringASCIICase(c.a, c.b), c.suffix) << c.a << " / " << c.b;
        EXPECT_EQ(containsIgnoringASCIICase(c.a, c.b), c.contains) << c.a << " / " << c.b;
    }
    EXPECT_EQ(findIgnoringASCIICase("<TITLE>x</Title>", "</title"), 8u);
    EXPECT_EQ(findIgnoringASCIICase("<title><TITLE>", "<title", 1), 7u);
    EXPECT_EQ(findIgnoringASCIICase("abc", "c", 5), std::string_view::npos);
}

TEST(ASCII, Trimming) {
    struct Case {
        std::string in, http, ascii;
    };
    const std::vector<Case> cases = {
        {"", "", ""},
        {" \t ", "", ""},
        {" \tvalue\t ", "value", "value"},
        {"\r\n value \r\n", "\r\n value \r\n", "value"},
        {"\v\fx\f\v", "\v\fx\f\v", "x"},
        {"a b", "a b", "a b"},                                            // inner whitespace stays
        {"\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"},  // no-break space is not ASCII
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trimmingHTTPWhitespace(c.in), c.http) << c.in;
        EXPECT_EQ(trimmingASCIIWhitespace(c.in), c.ascii) << c.in;
    }
    EXPECT_EQ(trimmingCharacters("\r\nquit \t", " \t\r\n"), "quit");
    EXPECT_EQ(trimmingCharacters("xx", "x"), "");
}

TEST(ASCII, Base64KnownVectors) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF", "+/8="},
        {"user:", "dXNlcjo="},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encoded(plain), encoded) << plain;
        EXPECT_EQ(base64Decoded(encoded), plain) << encoded;
    }
}

TEST(ASCII, Base64RoundTripsEveryByteValueAtEveryLength) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(char(i));
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(254), size_t(255), size_t(256)}) {
        std::string bytes = all.substr(0, n);
        std::string text = base64Encoded(bytes);
        EXPECT_EQ(text.size(), 4 * ((n + 2) / 3));
        EXPECT_EQ(base64Decoded(text), bytes) << n;
    }
}

TEST(ASCII, Base64RefusesWhatIsNotStrictPaddedBase64) {
    const std::vector<std::string> refused = {"Zg",     "Zg=",   "Zm9",   "Z===", "====", "Zg==Zg==",   "Zm=v",
                                              "Zm9v\n", " Zm9v", "Zm 9v", "Zm9-", "Zm9_", "Zm9v\0AAA"s, "Zm9\xC3\xA4"};
    for (const auto& bad : refused) {
        EXPECT_EQ(base64Decoded(bad), std::nullopt) << bad;
    }
}

}  // namespace
