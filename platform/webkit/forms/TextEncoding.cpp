#include "platform/webkit/forms/internal/TextEncoding.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/TextEncoding.h"

namespace platform::webkit::forms {

using text::appendUTF8;

namespace {

using Kind = TextEncoding::Kind;

// The labels pages use, as browsers read them.
const TextEncoding kEncodings[] = {
    {"UTF-8", Kind::UTF8, nullptr, "unicode-1-1-utf-8 unicode11utf8 unicode20utf8 utf-8 utf8 x-unicode20utf8"},
    {"IBM866", Kind::SingleByte, "IBM866", "866 cp866 csibm866 ibm866"},
    {"ISO-8859-2", Kind::SingleByte, "ISO-8859-2",
     "csisolatin2 iso-8859-2 iso-ir-101 iso8859-2 iso88592 iso_8859-2 iso_8859-2:1987 l2 latin2"},
    {"ISO-8859-3", Kind::SingleByte, "ISO-8859-3",
     "csisolatin3 iso-8859-3 iso-ir-109 iso8859-3 iso88593 iso_8859-3 iso_8859-3:1988 l3 latin3"},
    {"ISO-8859-4", Kind::SingleByte, "ISO-8859-4",
     "csisolatin4 iso-8859-4 iso-ir-110 iso8859-4 iso88594 iso_8859-4 iso_8859-4:1988 l4 latin4"},
    {"ISO-8859-5", Kind::SingleByte, "ISO-8859-5",
     "csisolatincyrillic cyrillic iso-8859-5 iso-ir-144 iso8859-5 iso88595 iso_8859-5 iso_8859-5:1988"},
    {"ISO-8859-6", Kind::SingleByte, "ISO-8859-6",
     "arabic asmo-708 csiso88596e csiso88596i csisolatinarabic ecma-114 iso-8859-6 iso-8859-6-e iso-8859-6-i "
     "iso-ir-127 iso8859-6 iso88596 iso_8859-6 iso_8859-6:1987"},
    {"ISO-8859-7", Kind::SingleByte, "ISO-8859-7",
     "csisolatingreek ecma-118 elot_928 greek greek8 iso-8859-7 iso-ir-126 iso8859-7 iso88597 iso_8859-7 "
     "iso_8859-7:1987 sun_eu_greek"},
    {"ISO-8859-8", Kind::SingleByte, "ISO-8859-8",
     "csiso88598e csisolatinhebrew hebrew iso-8859-8 iso-8859-8-e iso-ir-138 iso8859-8 iso88598 iso_8859-8 "
     "iso_8859-8:1988 visual"},
    {"ISO-8859-8-I", Kind::SingleByte, "ISO-8859-8", "csiso88598i iso-8859-8-i logical"},
    {"ISO-8859-10", Kind::SingleByte, "ISO-8859-10",
     "csisolatin6 iso-8859-10 iso-ir-157 iso8859-10 iso885910 l6 latin6"},
    {"ISO-8859-13", Kind::SingleByte, "ISO-8859-13", "iso-8859-13 iso8859-13 iso885913"},
    {"ISO-8859-14", Kind::SingleByte, "ISO-8859-14", "iso-8859-14 iso8859-14 iso885914"},
    {"ISO-8859-15", Kind::SingleByte, "ISO-8859-15", "csisolatin9 iso-8859-15 iso8859-15 iso885915 iso_8859-15 l9"},
    {"ISO-8859-16", Kind::SingleByte, "ISO-8859-16", "iso-8859-16"},
    {"KOI8-R", Kind::SingleByte, "KOI8-R", "cskoi8r koi koi8 koi8-r koi8_r"},
    {"KOI8-U", Kind::SingleByte, "KOI8-U", "koi8-ru koi8-u"},
    {"macintosh", Kind::SingleByte, "MACINTOSH", "csmacintosh mac macintosh x-mac-roman"},
    {"windows-874", Kind::SingleByte, "CP874", "dos-874 iso-8859-11 iso8859-11 iso885911 tis-620 windows-874"},
    {"windows-1250", Kind::SingleByte, "CP1250", "cp1250 windows-1250 x-cp1250"},
    {"windows-1251", Kind::SingleByte, "CP1251", "cp1251 windows-1251 x-cp1251"},
    {"windows-1252", Kind::SingleByte, "CP1252",
     "ansi_x3.4-1968 ascii cp1252 cp819 csisolatin1 ibm819 iso-8859-1 iso-ir-100 iso8859-1 iso88591 iso_8859-1 "
     "iso_8859-1:1987 l1 latin1 us-ascii windows-1252 x-cp1252"},
    {"windows-1253", Kind::SingleByte, "CP1253", "cp1253 windows-1253 x-cp1253"},
    {"windows-1254", Kind::SingleByte, "CP1254",
     "cp1254 csisolatin5 iso-8859-9 iso-ir-148 iso8859-9 iso88599 iso_8859-9 iso_8859-9:1989 l5 latin5 "
     "windows-1254 x-cp1254"},
    {"windows-1255", Kind::SingleByte, "CP1255", "cp1255 windows-1255 x-cp1255"},
    {"windows-1256", Kind::SingleByte, "CP1256", "cp1256 windows-1256 x-cp1256"},
    {"windows-1257", Kind::SingleByte, "CP1257", "cp1257 windows-1257 x-cp1257"},
    {"windows-1258", Kind::SingleByte, "CP1258", "cp1258 windows-1258 x-cp1258"},
    {"x-mac-cyrillic", Kind::SingleByte, "MAC-CYRILLIC", "x-mac-cyrillic x-mac-ukrainian"},
    {"GBK", Kind::MultiByte, "GB18030",
     "chinese csgb2312 csiso58gb231280 gb2312 gb_2312 gb_2312-80 gbk iso-ir-58 x-gbk"},
    {"gb18030", Kind::MultiByte, "GB18030", "gb18030"},
    {"Big5", Kind::MultiByte, "BIG5-HKSCS", "big5 big5-hkscs cn-big5 csbig5 x-x-big5"},
    {"EUC-JP", Kind::MultiByte, "EUC-JP-MS", "cseucpkdfmtjapanese euc-jp x-euc-jp"},
    {"ISO-2022-JP", Kind::MultiByte, "ISO-2022-JP", "csiso2022jp iso-2022-jp"},
    {"Shift_JIS", Kind::MultiByte, "CP932", "csshiftjis ms932 ms_kanji shift-jis shift_jis sjis windows-31j x-sjis"},
    {"EUC-KR", Kind::MultiByte, "CP949",
     "cseuckr csksc56011987 euc-kr iso-ir-149 korean ks_c_5601-1987 ks_c_5601-1989 ksc5601 ksc_5601 windows-949"},
    {"replacement", Kind::Replacement, nullptr,
     "csiso2022kr hz-gb-2312 iso-2022-cn iso-2022-cn-ext iso-2022-kr replacement"},
    {"UTF-16BE", Kind::UTF16, "UTF-16BE", "unicodefffe utf-16be"},
    {"UTF-16LE", Kind::UTF16, "UTF-16LE", "csunicode iso-10646-ucs-2 ucs-2 unicode unicodefeff utf-16 utf-16le"},
    {"x-user-defined", Kind::UserDefined, nullptr, "x-user-defined"},
};

const TextEncoding& named(std::string_view name) {
    for (const auto& encoding : kEncodings)
        if (name == encoding.name) return encoding;
    return kEncodings[0];
}

constexpr char32_t kReplacement = 0xFFFD;

// The code points of UTF-8 bytes, each ill-formed sequence as one U+FFFD (its longest valid start).
std::u32string codePoints(std::string_view bytes) {
    std::u32string out;
    out.reserve(bytes.size());
    char32_t point = 0;
    int needed = 0, seen = 0;
    unsigned lower = 0x80, upper = 0xBF;
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned b = static_cast<unsigned char>(bytes[i]);
        if (needed == 0) {
            if (b < 0x80) {
                out += static_cast<char32_t>(b);
            } else if (b >= 0xC2 && b <= 0xDF) {
                needed = 1;
                point = b & 0x1F;
            } else if (b >= 0xE0 && b <= 0xEF) {
                lower = b == 0xE0 ? 0xA0 : 0x80;
                upper = b == 0xED ? 0x9F : 0xBF;
                needed = 2;
                point = b & 0xF;
            } else if (b >= 0xF0 && b <= 0xF4) {
                lower = b == 0xF0 ? 0x90 : 0x80;
                upper = b == 0xF4 ? 0x8F : 0xBF;
                needed = 3;
                point = b & 0x7;
            } else {
                out += kReplacement;
            }
            continue;
        }
        if (b < lower || b > upper) {
            needed = seen = 0;
            lower = 0x80;
            upper = 0xBF;
            out += kReplacement;
            --i;  // the byte starts afresh
            continue;
        }
        lower = 0x80;
        upper = 0xBF;
        point = (point << 6) | (b & 0x3F);
        if (++seen == needed) {
            out += point;
            needed = seen = 0;
        }
    }
    if (needed) out += kReplacement;
    return out;
}

std::string utf8Of(const std::u32string& points) {
    std::string out;
    out.reserve(points.size());
    for (char32_t c : points) appendUTF8(out, c);
    return out;
}

class Converter {
public:
    explicit Converter(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }

    // Converts `in` onto `out` as far as it goes: up to a byte that starts no character of the source
    // encoding, a character the target has not, or a character cut short at the end. Answers the number
    // of bytes converted.
    size_t convert(std::string_view in, std::string& out) {
        char* source = const_cast<char*>(in.data());
        size_t left = in.size();
        while (left > 0) {
            char buffer[4096];
            char* target = buffer;
            size_t room = sizeof buffer;
            size_t done = iconv(cd, &source, &left, &target, &room);
            int error = errno;
            out.append(buffer, static_cast<size_t>(target - buffer));
            if (done == static_cast<size_t>(-1) && error != E2BIG) break;
        }
        return in.size() - left;
    }
    // The bytes that end a stateful encoding's output in its initial state.
    void finish(std::string& out) {
        char buffer[16];
        char* target = buffer;
        size_t room = sizeof buffer;
        iconv(cd, nullptr, nullptr, &target, &room);
        out.append(buffer, static_cast<size_t>(target - buffer));
    }

private:
    iconv_t cd;
};

// A single-byte encoding's 256 code points: holes in 0x80-0x9F are the C1 controls, as browsers map
// them; other holes U+FFFD.
std::array<char32_t, 256> singleByteTable(const TextEncoding& encoding) {
    std::array<char32_t, 256> table{};
    Converter converter("UTF-8", encoding.iconv);
    for (unsigned b = 0; b < 256; ++b) {
        table[b] = b < 0x80 || (b <= 0x9F) ? b : kReplacement;
        if (b < 0x80 || !converter.ok()) continue;
        std::string utf8;
        char byte = static_cast<char>(b);
        if (converter.convert(std::string_view(&byte, 1), utf8) == 1) {
            auto points = codePoints(utf8);
            if (points.size() == 1) table[b] = points[0];
        }
    }
    return table;
}

std::string decodedByIconv(std::string_view bytes, const char* name) {
    Converter converter("UTF-8", name);
    if (!converter.ok()) return utf8Of(codePoints(bytes));
    std::string out;
    out.reserve(bytes.size() * 2);
    while (!bytes.empty()) {
        bytes.remove_prefix(converter.convert(bytes, out));
        if (bytes.empty()) break;
        // A byte that starts nothing this encoding has (or an unfinished character at the end).
        appendUTF8(out, kReplacement);
        bytes.remove_prefix(1);
    }
    return out;
}

bool isASCIIWhitespace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// The label a <meta content="text/html; charset=..."> names, if any.
std::optional<std::string_view> charsetInContent(std::string_view content) {
    size_t at = 0;
    for (;;) {
        size_t found = findIgnoringASCIICase(content, "charset", at);
        if (found == std::string_view::npos) return std::nullopt;
        at = found + 7;
        while (at < content.size() && isASCIIWhitespace(content[at])) ++at;
        if (at >= content.size() || content[at] != '=') continue;
        ++at;
        while (at < content.size() && isASCIIWhitespace(content[at])) ++at;
        if (at >= content.size()) return std::nullopt;
        char quote = content[at];
        if (quote == '"' || quote == '\'') {
            size_t end = content.find(quote, at + 1);
            if (end == std::string_view::npos) return std::nullopt;
            return content.substr(at + 1, end - at - 1);
        }
        size_t end = at;
        while (end < content.size() && !isASCIIWhitespace(content[end]) && content[end] != ';') ++end;
        return content.substr(at, end - at);
    }
}

// The byte scan of a page's first bytes for a <meta> naming its encoding.
class Prescan {
public:
    explicit Prescan(std::string_view bytes) : bytes_(bytes.substr(0, 1024)) {}

    const TextEncoding* run() {
        while (at_ < bytes_.size()) {
            if (starts("<!--")) {
                size_t end = bytes_.find("-->", at_ + 2);
                if (end == std::string_view::npos) return nullptr;
                at_ = end + 3;
                continue;
            }
            if (startsIgnoringCase("<meta") && at_ + 5 < bytes_.size() &&
                (isASCIIWhitespace(bytes_[at_ + 5]) || bytes_[at_ + 5] == '/')) {
                at_ += 5;
                if (const auto* found = meta()) return found;
                if (at_ >= bytes_.size()) return nullptr;
                continue;
            }
            if (bytes_[at_] == '<' && at_ + 1 < bytes_.size()) {
                size_t name = at_ + 1 + (bytes_[at_ + 1] == '/' ? 1 : 0);
                char c = name < bytes_.size() ? toASCIILower(bytes_[name]) : '\0';
                if (c >= 'a' && c <= 'z') {
                    at_ = name;
                    while (at_ < bytes_.size() && !isASCIIWhitespace(bytes_[at_]) && bytes_[at_] != '>') ++at_;
                    std::string attributeName, value;
                    while (attribute(attributeName, value)) {
                    }
                    ++at_;
                    continue;
                }
                if (bytes_[at_ + 1] == '!' || bytes_[at_ + 1] == '/' || bytes_[at_ + 1] == '?') {
                    size_t end = bytes_.find('>', at_ + 2);
                    if (end == std::string_view::npos) return nullptr;
                    at_ = end + 1;
                    continue;
                }
            }
            ++at_;
        }
        return nullptr;
    }

private:
    bool starts(std::string_view s) const { return bytes_.substr(at_, s.size()) == s; }
    bool startsIgnoringCase(std::string_view s) const {
        return equalsIgnoringASCIICase(bytes_.substr(at_, s.size()), s);
    }

    // The attributes of a <meta>, and the encoding they name.
    const TextEncoding* meta() {
        std::vector<std::string> seen;
        bool gotPragma = false;
        std::optional<bool> needPragma;
        const TextEncoding* charset = nullptr;
        std::string name, value;
        while (attribute(name, value)) {
            bool repeated = false;
            for (const auto& earlier : seen) repeated = repeated || earlier == name;
            if (repeated) continue;
            seen.push_back(name);
            if (name == "http-equiv") {
                gotPragma = gotPragma || value == "content-type";
            } else if (name == "content" && !charset) {
                if (auto label = charsetInContent(value)) {
                    charset = encodingForLabel(*label);
                    if (charset) needPragma = true;
                }
            } else if (name == "charset") {
                charset = encodingForLabel(value);
                needPragma = false;
            }
        }
        ++at_;
        if (!needPragma || (*needPragma && !gotPragma) || !charset) return nullptr;
        if (charset->kind == Kind::UTF16) return &utf8Encoding();
        if (charset->kind == Kind::UserDefined) return &named("windows-1252");
        return charset;
    }

    // The next attribute of a tag, its name and value lower-cased; false at the tag's end.
    bool attribute(std::string& name, std::string& value) {
        name.clear();
        value.clear();
        while (at_ < bytes_.size() && (isASCIIWhitespace(bytes_[at_]) || bytes_[at_] == '/')) ++at_;
        if (at_ >= bytes_.size() || bytes_[at_] == '>') return false;
        for (;; ++at_) {
            if (at_ >= bytes_.size()) return false;
            char c = bytes_[at_];
            if (c == '=' && !name.empty()) {
                ++at_;
                return attributeValue(value);
            }
            if (isASCIIWhitespace(c)) break;
            if (c == '/' || c == '>') return true;
            name += toASCIILower(c);
        }
        while (at_ < bytes_.size() && isASCIIWhitespace(bytes_[at_])) ++at_;
        if (at_ >= bytes_.size()) return false;
        if (bytes_[at_] != '=') return true;
        ++at_;
        return attributeValue(value);
    }

    bool attributeValue(std::string& value) {
        while (at_ < bytes_.size() && isASCIIWhitespace(bytes_[at_])) ++at_;
        if (at_ >= bytes_.size()) return false;
        char quote = bytes_[at_];
        if (quote == '"' || quote == '\'') {
            for (++at_; at_ < bytes_.size(); ++at_) {
                if (bytes_[at_] == quote) {
                    ++at_;
                    return true;
                }
                value += toASCIILower(bytes_[at_]);
            }
            return false;
        }
        if (quote == '>') return true;
        for (; at_ < bytes_.size(); ++at_) {
            if (isASCIIWhitespace(bytes_[at_]) || bytes_[at_] == '>') return true;
            value += toASCIILower(bytes_[at_]);
        }
        return false;
    }

    std::string_view bytes_;
    size_t at_ = 0;
};

}  // namespace

const TextEncoding* encodingForLabel(std::string_view label) {
    std::string wanted = lowercasedASCII(trimmingCharacters(label, "\t\n\f\r "));
    if (wanted.empty()) return nullptr;
    for (const auto& encoding : kEncodings) {
        std::string_view labels = encoding.labels;
        for (size_t at = 0; at <= labels.size();) {
            size_t end = labels.find(' ', at);
            if (end == std::string_view::npos) end = labels.size();
            if (labels.substr(at, end - at) == wanted) return &encoding;
            at = end + 1;
        }
    }
    return nullptr;
}

const TextEncoding& utf8Encoding() { return kEncodings[0]; }

const TextEncoding& formEncodingOf(const TextEncoding& encoding) {
    return encoding.kind == Kind::UTF16 || encoding.kind == Kind::Replacement ? utf8Encoding() : encoding;
}

const TextEncoding& sniffedEncoding(std::string_view bytes, std::string_view headerLabel, bool& certain) {
    certain = true;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return utf8Encoding();
    if (bytes.substr(0, 2) == "\xFE\xFF") return named("UTF-16BE");
    if (bytes.substr(0, 2) == "\xFF\xFE") return named("UTF-16LE");
    if (const auto* header = encodingForLabel(headerLabel)) return *header;
    certain = false;
    if (const auto* meta = Prescan(bytes).run()) return *meta;
    return named("windows-1252");
}

const TextEncoding* encodingForMeta(std::string_view charsetAttribute, std::string_view contentAttribute) {
    const TextEncoding* found = encodingForLabel(charsetAttribute);
    if (!found) {
        auto label = charsetInContent(contentAttribute);
        found = label ? encodingForLabel(*label) : nullptr;
    }
    if (found && found->kind == Kind::UTF16) return &utf8Encoding();
    if (found && found->kind == Kind::UserDefined) return &named("windows-1252");
    return found;
}

std::string decodedText(std::string_view bytes, const TextEncoding& encoding) {
    switch (encoding.kind) {
    case Kind::UTF8:
        if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
        return utf8Of(codePoints(bytes));
    case Kind::UTF16:
        if (bytes.substr(0, 2) == (encoding.iconv == std::string_view("UTF-16BE") ? "\xFE\xFF" : "\xFF\xFE"))
            bytes.remove_prefix(2);
        return decodedByIconv(bytes, encoding.iconv);
    case Kind::MultiByte:
        return decodedByIconv(bytes, encoding.iconv);
    case Kind::Replacement:
        return bytes.empty() ? "" : "\xEF\xBF\xBD";
    case Kind::UserDefined: {
        std::string out;
        for (char c : bytes) {
            unsigned b = static_cast<unsigned char>(c);
            appendUTF8(out, b < 0x80 ? b : 0xF780 + b - 0x80);
        }
        return out;
    }
    case Kind::SingleByte: {
        auto table = singleByteTable(encoding);
        std::string out;
        out.reserve(bytes.size());
        for (char c : bytes) appendUTF8(out, table[static_cast<unsigned char>(c)]);
        return out;
    }
    }
    return "";
}

std::string encodedForForm(std::string_view text, const TextEncoding& encoding) {
    auto points = codePoints(text);
    if (encoding.kind == Kind::UTF8 || encoding.kind == Kind::UTF16 || encoding.kind == Kind::Replacement)
        return utf8Of(points);
    std::string out;
    auto reference = [](char32_t c) { return "&#" + std::to_string(static_cast<uint32_t>(c)) + ";"; };
    if (encoding.kind == Kind::UserDefined) {
        for (char32_t c : points) {
            if (c < 0x80 || (c >= 0xF780 && c <= 0xF7FF))
                out += static_cast<char>(c < 0x80 ? c : c - 0xF780 + 0x80);
            else
                out += reference(c);
        }
        return out;
    }
    if (encoding.kind == Kind::SingleByte) {
        auto table = singleByteTable(encoding);
        std::vector<std::pair<char32_t, char>> bytes;  // code point, its byte; sorted
        for (unsigned b = 0; b < 256; ++b)
            if (table[b] != kReplacement) bytes.emplace_back(table[b], static_cast<char>(b));
        std::sort(bytes.begin(), bytes.end());
        for (char32_t c : points) {
            auto found = std::lower_bound(bytes.begin(), bytes.end(), std::make_pair(c, '\0'),
                                          [](const auto& a, const auto& b) { return a.first < b.first; });
            if (found != bytes.end() && found->first == c)
                out += found->second;
            else
                out += reference(c);
        }
        return out;
    }
    std::string_view name = encoding.name;
    // Browsers send Big5 without the Hong Kong additions its pages may use, as Windows' code page does.
    Converter converter(name == "Big5" ? "CP950" : encoding.iconv, "UTF-8");
    if (!converter.ok()) return utf8Of(points);
    bool japanese = name == "Shift_JIS" || name == "EUC-JP" || name == "ISO-2022-JP";
    for (char32_t c : points) {
        // What browsers send for these, where the converter's tables have nothing or another code.
        if (japanese && c == 0xA5 && name != "ISO-2022-JP") {
            out += '\x5C';
            continue;
        }
        if (japanese && c == 0x203E && name != "ISO-2022-JP") {
            out += '\x7E';
            continue;
        }
        if (japanese && c == 0x2212) c = 0xFF0D;
        if (name == "GBK" && c == 0x20AC) {
            out += '\x80';
            continue;
        }
        std::string utf8;
        appendUTF8(utf8, c);
        size_t before = out.size();
        bool converted = c != kReplacement && converter.convert(utf8, out) == utf8.size();
        // GBK has none of gb18030's four-byte codes, and EUC-JP is sent without JIS X 0212 (its 0x8F codes).
        bool dropped = (name == "GBK" && out.size() - before == 4) ||
                       (name == "EUC-JP" && out.size() > before && out[before] == '\x8F');
        if (!converted || dropped) {
            out.resize(before);
            converter.convert(reference(c), out);
        }
    }
    converter.finish(out);
    return out;
}

}  // namespace platform::webkit::forms
