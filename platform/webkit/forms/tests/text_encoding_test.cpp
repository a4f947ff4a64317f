// The encodings' decoders and encoders: the rows are what the real engine reads and sends for the same
// bytes and text.
#include <gtest/gtest.h>

#include <string>

#include "platform/webkit/forms/internal/TextEncoding.h"

namespace {

using namespace platform::webkit::forms;

const TextEncoding& named(const char* label) {
    const TextEncoding* encoding = encodingForLabel(label);
    EXPECT_TRUE(encoding) << label;
    return encoding ? *encoding : utf8Encoding();
}

TEST(TextEncoding, DecodesAsTheEngine) {
    struct Row {
        const char* label;
        std::string bytes, text;
    } rows[] = {
        {"windows-1255", "\xF9\xEC\xE5\xED \xA1Hola \xCA\xD9", "שלום ¡Hola \u05BA\uFFFD"},
        {"windows-1258", "\xC0\xE0\x9C\xD2", "Ààœ\u0309"},
        {"macintosh", "\xF0\xDB", "\uF8FF€"},
        {"x-mac-cyrillic", "\xA2\xFF", "Ґ€"},
        // An unpaired surrogate is one U+FFFD and the next code unit is read in step.
        {"utf-16le", std::string("h\0\0\xD8y\0\0\xDC=\xD8\0\xDE!", 13), "h\uFFFDy\uFFFD😀\uFFFD"},
        {"utf-16be", std::string("\xD8\0\0a\xD8\x3D\xDE\0\0", 9), "\uFFFDa😀\uFFFD"},
        // A bad trail byte that is ASCII is read again on its own.
        {"shift_jis", "\x81 a\xF0\x40\x82\xA0\xA0\xB1\x87\x40\xFA\x55\x81", "\uFFFD a\uE000あ\uFFFDｱ①￤\uFFFD"},
        {"gb18030",
         std::string("\x81\x30\x81 |\x84\x31\xA4\x39|\x81\x30z|\x80|\xE3\x32\x9A\x35\xE3\x32\x9A\x36|") +
             "\x81\x35\xF4\x37\xA6\xD9\xFF\x81",
         "\uFFFD0\uFFFD |\uFFFF|\uFFFD0z|€|\U0010FFFF\uFFFD|\uE7C7︐\uFFFD\uFFFD"},
        {"gbk", "\x80\xA1\xA1\x81\x7F", "€\u3000\uFFFD\x7F"},
        {"big5", "\x88\x62\x88\x64\x87\x40\xA1\x41\xA4\x40\x80\xC8\x7F", "Ê̄Ê̌䏰，一\uFFFD\uFFFD\x7F"},
        {"euc-jp", "\x8F\xA2\xAF\x8E\xB1\xA1\x41\xB0\xA1\x8F\xA1\xA1\x8E", "˘ｱ\uFFFDA亜\uFFFD\uFFFD"},
        // Two escape sequences in a row stand for a lost character.
        {"iso-2022-jp", "\x1B$B\x30\x21\x1B(B\x1B(J\\~\x1B(I\x31\x1B$B\x1B(Bz\x1B$Z\x1B$B\x30",
         "亜\uFFFD¥‾ｱ\uFFFDz\uFFFD$Z\uFFFD"},
        {"euc-kr", "\xB0\xA1\x81\x41\xC9\x41\xFF", "가갂\uFFFDA\uFFFD"},
        {"x-user-defined",
         "\x80\xFF"
         "a",
         "\uF780\uF7FFa"},
        {"iso-2022-kr", "abc", "\uFFFD"},
    };
    for (const auto& row : rows) EXPECT_EQ(decodedText(row.bytes, named(row.label)), row.text) << row.label;
}

TEST(TextEncoding, EncodesAsTheEngine) {
    struct Row {
        const char* label;
        std::string text, bytes;
    } rows[] = {
        {"windows-1255", "שלום ¡Hola", "\xF9\xEC\xE5\xED \xA1Hola"},
        {"windows-1258", "Àà œ", "\xC0\xE0 \x9C"},
        {"shift_jis", "〜—‖¢£¬", "&#12316;&#8212;&#8214;&#162;&#163;&#172;"},
        {"shift_jis", "①㈱～−髙¥‾ｱ", "\x87\x40\x87\x8A\x81\x60\x81\x7C\xFB\xFC\\~\xB1"},
        {"euc-jp", "髙﨑〜−¥ｱ", "\xFC\xE2\xF9\xF5&#12316;\xA1\xDD\\\x8E\xB1"},
        // Half-width katakana go full-width; an escape sequence back to ASCII ends the text.
        {"iso-2022-jp", "aｱｲ①㈱～−¥b‾c\x0E", "a\x1B$B%\"%$-!-j!A!]\x1B(J\\b~c&#65533;\x1B(B"},
        {"iso-2022-jp", "日本\xF0\x9F\x98\x80", "\x1B$BF|K\\\x1B(B&#128512;"},
        {"big5", "Привет ˆœ 中 ═十",
         "\xC8\x44\xC8\x66\xC8\x5E\xC8\x57\xC8\x5A\xC8\x68 \xC6\xD9\xC8\xFA \xA4\xA4 \xF9\xF9\xA4\x51"},
        {"big5", "€\xF0\xA0\x80\x80", "\xA3\xE1&#131072;"},
        {"gb18030", "中€😀\uE78D\uE5E5\uE7C7ḿ",
         "\xD6\xD0\xA2\xE3\x94\x39\xFC\x36\xA6\xD9&#58853;\x81\x35\xF4\x37\xA8\xBC"},
        {"cp936", "中€😀", "\xD6\xD0\x80&#128512;"},
        {"euc-kr", "한국 ～①", "\xC7\xD1\xB1\xB9 \xA2\xA6\xA8\xE7"},
        {"macintosh", "€ﬁ\uF8FF", "\xDB\xDE\xF0"},
        {"x-mac-cyrillic", "Привет€¤", "\x8F\xF0\xE8\xE2\xE5\xF2\xFF&#164;"},
        {"x-user-defined", "a\uF780\uF7FF€", "a\x80\xFF&#8364;"},
        // What the engine writes as a byte of another in some single-byte encodings; a character it drops
        // (U+200B) or writes as a line break (U+266A) goes as a reference instead.
        {"iso-8859-2", "•¥～Ł\u200B\u266A", "\x07\x8E~\xA3&#8203;&#9834;"},
        {"windows-1251", "～Ｂ", "~B"},
        {"windows-1252", "～", "&#65374;"},
        {"utf-16le", "é", "é"},
    };
    for (const auto& row : rows) EXPECT_EQ(encodedForForm(row.text, named(row.label)), row.bytes) << row.label;
}

TEST(TextEncoding, ReadsTheLabelsTheEngineReads) {
    struct Row {
        const char *label, *name;
    } rows[] = {
        {"cp936", "GBK"},
        {"windows-936", "GBK"},
        {"euc-cn", "GBK"},
        {"latin8", "ISO-8859-14"},
        {"l10", "ISO-8859-16"},
        {"macroman", "macintosh"},
        {"maccyrillic", "x-mac-cyrillic"},
    };
    for (const auto& row : rows) EXPECT_STREQ(named(row.label).name, row.name) << row.label;
}

// A page's first bytes name its encoding in a <meta>, but not in the text of an element that holds no tags.
TEST(TextEncoding, FindsTheMetaTheEngineFinds) {
    struct Row {
        std::string page;
        const char* name;
    } rows[] = {
        {"<head><meta charset=iso-8859-2>", "ISO-8859-2"},
        {"<noscript><meta charset=iso-8859-2></noscript>", "ISO-8859-2"},
        {"<SCRIPT type=x></scripts><meta charset=utf-8></script ><meta charset=iso-8859-2>", "ISO-8859-2"},
        {"<title><meta charset=iso-8859-2>", "windows-1252"},  // no end tag: none after it either
        {"<script/><meta charset=iso-8859-2></script>", "windows-1252"},
    };
    for (const auto& row : rows) {
        bool certain = true;
        EXPECT_STREQ(sniffedEncoding(row.page, "", certain).name, row.name) << row.page;
    }
    for (const char* tag : {"script", "style", "title", "textarea", "xmp", "iframe", "noembed", "noframes"}) {
        std::string page = std::string("<") + tag + "><meta charset=iso-8859-2></" + tag + ">";
        bool certain = true;
        EXPECT_STREQ(sniffedEncoding(page, "", certain).name, "windows-1252") << page;
    }
}

// Every character a table has decodes from its bytes and encodes back to bytes that decode to it.
TEST(TextEncoding, EveryTableEntryGoesBothWays) {
    const char* labels[] = {
        "gbk",          "gb18030",      "big5",         "euc-jp",         "shift_jis",  "euc-kr",
        "ibm866",       "iso-8859-2",   "iso-8859-16",  "koi8-u",         "macintosh",  "windows-874",
        "windows-1250", "windows-1255", "windows-1258", "x-mac-cyrillic", "iso-2022-jp"};
    for (const char* label : labels) {
        const TextEncoding& encoding = named(label);
        size_t checked = 0;
        auto check = [&](const std::string& bytes) {
            std::string text = decodedText(bytes, encoding);
            if (text.empty() || text.find("\uFFFD") != std::string::npos || static_cast<unsigned char>(text[0]) < 0x80)
                return;
            // Shift_JIS reads its user-defined area as private use characters and writes none of them.
            if (encoding.kind == TextEncoding::Kind::ShiftJIS && text >= "\uE000" && text <= "\uE757") return;
            ++checked;
            std::string again = encodedForForm(text, encoding);
            EXPECT_EQ(decodedText(again, encoding), text) << label << " " << bytes;
        };
        if (encoding.kind == TextEncoding::Kind::SingleByte) {
            for (int b = 0x80; b < 0x100; ++b) check(std::string(1, static_cast<char>(b)));
        } else {
            bool iso2022jp = encoding.kind == TextEncoding::Kind::ISO2022JP;
            // Big5's Hong Kong additions (leads below 0xA1) are read but not written.
            int firstLead = encoding.kind == TextEncoding::Kind::Big5 ? 0xA1 : 0x21;
            for (int lead = firstLead; lead < 0xFF; ++lead)
                for (int trail = 0x21; trail < 0xFF; ++trail)
                    check((iso2022jp ? "\x1B$B" : "") + std::string{static_cast<char>(lead), static_cast<char>(trail)});
        }
        EXPECT_GT(checked, 50u) << label;
    }
}

}  // namespace
