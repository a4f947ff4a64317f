#include "testing/formdiff/Generator.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <stdexcept>

namespace tesmar_formdiff {

using platform::webkit::FormField;
using platform::webkit::FormFill;

namespace {

// The encodings a page may be in: the name pages give it (one of its labels is picked) and glibc's name,
// which turns the generator's characters into the page's bytes.
struct Encoding {
    const char* name;
    const char* iconvName;
    std::vector<const char*> labels;
};

const std::vector<Encoding>& encodings() {
    static const std::vector<Encoding> all = {
        {"UTF-8", "UTF-8", {"utf-8", "UTF8", "unicode-1-1-utf-8"}},
        {"IBM866", "IBM866", {"ibm866", "cp866"}},
        {"ISO-8859-2", "ISO-8859-2", {"iso-8859-2", "latin2", "l2"}},
        {"ISO-8859-3", "ISO-8859-3", {"iso-8859-3", "latin3"}},
        {"ISO-8859-4", "ISO-8859-4", {"iso-8859-4", "l4"}},
        {"ISO-8859-5", "ISO-8859-5", {"iso-8859-5", "cyrillic"}},
        {"ISO-8859-6", "ISO-8859-6", {"iso-8859-6", "arabic"}},
        {"ISO-8859-7", "ISO-8859-7", {"iso-8859-7", "greek"}},
        {"ISO-8859-8", "ISO-8859-8", {"iso-8859-8", "hebrew", "visual"}},
        {"ISO-8859-8-I", "ISO-8859-8", {"iso-8859-8-i", "logical"}},
        {"ISO-8859-10", "ISO-8859-10", {"iso-8859-10", "latin6"}},
        {"ISO-8859-13", "ISO-8859-13", {"iso-8859-13"}},
        {"ISO-8859-14", "ISO-8859-14", {"iso-8859-14"}},
        {"ISO-8859-15", "ISO-8859-15", {"iso-8859-15", "latin-9", "l9"}},
        {"KOI8-R", "KOI8-R", {"koi8-r", "koi8"}},
        {"KOI8-U", "KOI8-U", {"koi8-u", "koi8-ru"}},
        {"macintosh", "MACINTOSH", {"macintosh", "x-mac-roman"}},
        {"windows-874", "CP874", {"windows-874", "tis-620"}},
        {"windows-1250", "CP1250", {"windows-1250"}},
        {"windows-1251", "CP1251", {"windows-1251", "cp1251"}},
        {"windows-1252", "CP1252", {"windows-1252", "iso-8859-1", "latin1", "us-ascii", "ascii"}},
        {"windows-1253", "CP1253", {"windows-1253"}},
        {"windows-1254", "CP1254", {"windows-1254", "iso-8859-9"}},
        {"windows-1255", "CP1255", {"windows-1255"}},
        {"windows-1256", "CP1256", {"windows-1256"}},
        {"windows-1257", "CP1257", {"windows-1257"}},
        {"windows-1258", "CP1258", {"windows-1258"}},
        {"x-mac-cyrillic", "MAC-CYRILLIC", {"x-mac-cyrillic", "x-mac-ukrainian"}},
        {"GBK", "GBK", {"gbk", "gb2312", "x-gbk"}},
        {"gb18030", "GB18030", {"gb18030"}},
        {"Big5", "BIG5-HKSCS", {"big5", "big5-hkscs"}},
        {"EUC-JP", "EUC-JP", {"euc-jp"}},
        {"ISO-2022-JP", "ISO-2022-JP", {"iso-2022-jp"}},
        {"Shift_JIS", "CP932", {"shift_jis", "sjis", "windows-31j"}},
        {"EUC-KR", "CP949", {"euc-kr", "ks_c_5601-1987"}},
        {"UTF-16LE", "UTF-8", {"utf-16le", "utf-16"}},
        {"UTF-16BE", "UTF-8", {"utf-16be"}},
        {"replacement", "UTF-8", {"iso-2022-kr", "hz-gb-2312"}},
    };
    return all;
}

// Code points of the scripts these encodings cover, and of what none of them covers.
constexpr std::array<std::pair<char32_t, char32_t>, 24> kBlocks = {{
    {0xA0, 0xFF},       {0x100, 0x17F},   {0x370, 0x3FF},   {0x400, 0x45F},   {0x5D0, 0x5EA},   {0x620, 0x64A},
    {0xE01, 0xE5B},     {0x2010, 0x2044}, {0x20AC, 0x20AC}, {0x2122, 0x2122}, {0x2500, 0x257F}, {0x3000, 0x303F},
    {0x3041, 0x30FF},   {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3}, {0xFF01, 0xFF9F}, {0xE000, 0xE0FF}, {0x1F600, 0x1F64F},
    {0x20000, 0x2A6DF}, {0x80, 0x9F},     {0x1, 0x1F},      {0x300, 0x36F},   {0xFFFD, 0xFFFD}, {0xA5, 0xA5},
}};
// Characters whose mapping differs between tables.
constexpr char32_t kTricky[] = {0xA5,   0x203E, 0x2212, 0x301C, 0xFF5E, 0x2225, 0xFFE0, 0xFFE1, 0xFFE2,
                                0xA6,   0x2016, 0x2014, 0x2015, 0x00AD, 0x0085, 0xFEFF, 0x20AC, 0x80,
                                0xE5E5, 0x9F8D, 0x2550, 0x4E28, 0x3231, 0xF8F0, 0x2116, 0x00B7, 0x30FB};

// Characters the real engine drops from a form sent in a single-byte encoding (the invisible ones) or
// writes there as a line break, where the headless engine sends a reference: the engines table lists the
// difference as deliberate, so pages carry none of them.
bool listedDifference(char32_t c) {
    static constexpr std::pair<char32_t, char32_t> kListed[] = {
        {0xAD, 0xAD},     {0x34F, 0x34F},   {0x61C, 0x61C},   {0x115F, 0x1160}, {0x17B4, 0x17B5}, {0x180B, 0x180F},
        {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x206F}, {0x25D9, 0x25D9}, {0x266A, 0x266A}, {0x3164, 0x3164},
        {0xFE00, 0xFE0F}, {0xFEFF, 0xFEFF}, {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}};
    return std::any_of(std::begin(kListed), std::end(kListed), [c](auto r) { return c >= r.first && c <= r.second; });
}

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
    return out;
}

// `text` (UTF-8) in glibc's `to`, or nothing when a character has no bytes there.
std::optional<std::string> convert(const std::string& text, const char* to) {
    if (std::string(to) == "UTF-8") return text;
    iconv_t cd = ::iconv_open(to, "UTF-8");
    if (cd == iconv_t(-1)) throw std::runtime_error(std::string("glibc cannot convert to ") + to);
    std::string out(text.size() * 8 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* outp = out.data();
    size_t outLeft = out.size();
    size_t done = ::iconv(cd, &in, &inLeft, &outp, &outLeft);
    bool ok = done != size_t(-1) && ::iconv(cd, nullptr, nullptr, &outp, &outLeft) != size_t(-1);
    ::iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

class Maker {
public:
    Maker(uint64_t seed, size_t index) : rng_(seed * 0x9E3779B97F4A7C15ull + index) {}

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return below(100) < size_t(percent); }
    template <class T>
    const T& pick(const std::vector<T>& from) {
        return from[below(from.size())];
    }
    const char* pick(std::initializer_list<const char*> from) { return from.begin()[below(from.size())]; }

    char32_t anyCharacter() {
        for (;;) {
            char32_t c;
            if (chance(20)) {
                c = kTricky[below(std::size(kTricky))];
            } else {
                auto [lo, hi] = kBlocks[below(kBlocks.size())];
                c = lo + char32_t(below(hi - lo + 1));
            }
            if (!listedDifference(c)) return c;
        }
    }
    // A character the encoding has, most of the time.
    char32_t characterOf(const Encoding& encoding) {
        for (int tries = 0; tries < 30; ++tries) {
            char32_t c = anyCharacter();
            if (c >= 0x20 && convert(utf8(c), encoding.iconvName)) return c;
        }
        return 0xE9;
    }

    // Text written in the page: its bytes in the page's encoding, characters it lacks as references, and
    // ASCII that markup and URL encoding treat specially. No raw quote or '<'.
    std::string pageText(const Encoding& encoding) {
        std::string out;
        size_t n = below(6);
        for (size_t i = 0; i < n; ++i) {
            switch (below(10)) {
            case 0:
                out += pick({" ", "  ", "a b", "&", "a&b", "+", "%", "=", "?", "#", ";", "'", "\t", "\n"});
                break;
            case 1:
                out += pick({"&amp;", "&quot;", "&lt;", "&eacute;", "&nbsp;", "&euro;", "&check;", "&NewLine;", "&#0;",
                             "&#128;", "&#x85;", "&#xD800;", "&#1114112;", "&notin", "&amp"});
                break;
            case 2:
                out += "&#" + std::to_string(uint32_t(anyCharacter())) + ";";
                break;
            case 3:
                if (chance(30) && std::string(encoding.iconvName) != "UTF-8") {
                    out += char(0x80 + below(0x80));  // a byte as it comes, valid or not
                    break;
                }
                [[fallthrough]];
            default: {
                auto bytes = convert(utf8(characterOf(encoding)), encoding.iconvName);
                out += bytes ? *bytes : "x";
            }
            }
        }
        if (chance(50)) out += pick({"a", "Z9", "-_.*~", "x y"});
        return out;
    }
    // What the user types (UTF-8), from the encoding's repertoire or from outside it.
    std::string typedText(const Encoding& pageEncoding) {
        const Encoding& encoding = typedFrom ? *typedFrom : pageEncoding;
        std::string out;
        size_t n = below(6);
        for (size_t i = 0; i < n; ++i) {
            if (chance(25))
                out += pick({" ", "&", "+", "%20", "=", "\n", "\r\n", "\r", "a", "~*", "&#233;"});
            else
                out += utf8(chance(60) ? characterOf(encoding) : anyCharacter());
        }
        return out;
    }

    const Encoding* typedFrom = nullptr;

private:
    std::mt19937_64 rng_;
};

// Fills are UTF-8 as the user sees them; a name or choice written in the page's encoding or with a
// reference is left unfilled rather than guessed.
bool plain(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '&'; });
}

std::string attr(const std::string& name, const std::string& value, Maker& m) {
    const char* quote = m.pick({"\"", "'", "\""});
    return " " + name + "=" + quote + value + quote;
}

// A field's name: mostly plain and unique, sometimes shared, odd or in the page's encoding.
std::string fieldName(Maker& m, const Encoding& e, size_t& counter) {
    switch (m.below(12)) {
    case 0:
        return "dup";
    case 1:
        return m.pick({"_charset_", "a b", "a&b=c", "isindex", "x+y", "%41"});
    case 2:
        return "n" + m.pageText(e);
    default:
        return "f" + std::to_string(counter++);
    }
}

Part textPart(Maker& m, const Encoding& e, size_t& counter) {
    Part p;
    const char* type = m.pick({"", "text", "search", "tel", "password", "bogus", "TEXT", "url"});
    std::string name = fieldName(m, e, counter);
    p.kind = std::string("input ") + (*type ? type : "(no type)");
    p.html = "<input";
    if (*type) p.html += attr("type", type, m);
    p.html += attr("name", name, m);
    if (m.chance(70)) p.html += attr("value", m.pageText(e), m);
    if (m.chance(10)) {
        p.html += attr("dirname", name + ".dir", m);
        p.kind += " dirname";
    }
    if (std::string(type) == "url") p.risky = true;
    p.html += ">";
    if (m.chance(50)) p.fill.push_back({name, m.typedText(e)});
    return p;
}

Part valuePart(Maker& m, const Encoding& e, size_t& counter) {
    struct Kind {
        const char* type;
        std::vector<const char*> values;
    };
    static const std::vector<Kind> kinds = {
        {"number", {"1", " 2", "1.5", "1e3", "-0", "+1", "abc", "", "0x10", "1.", ".5", "1,5", "١٢"}},
        {"date", {"2024-02-29", "2023-02-29", "2024-1-2", " 2024-01-02", "275760-09-13", "0000-01-01", "", "x"}},
        {"time", {"13:45", "13:45:30.5", "1:2", "24:00", "13:45:00", "", "13:45:30.1234"}},
        {"week", {"2020-W53", "2021-W53", "2024-W1", "2024-W01", ""}},
        {"month", {"2024-13", "2024-02", "2024-2", "0000-01", ""}},
        {"datetime-local", {"2024-01-02 03:04:00", "2024-01-02T03:04", "2024-01-02T03:04:05.000", "2024-01-02t03:04"}},
        {"color", {"#ABCDEF", "#abc", "red", "", " #123456", "#1234567"}},
        {"email", {" a@b ", "a@b", "A@B.example", "\na@b\n", ""}},
        {"hidden", {" spaced ", "a\r\nb", "a\nb", "\r", ""}},
    };
    const Kind& k = m.pick(kinds);
    Part p;
    p.kind = k.type;
    std::string name = fieldName(m, e, counter);
    p.html = "<input" + attr("type", k.type, m) + attr("name", name, m);
    if (m.chance(85)) p.html += attr("value", m.pick(k.values), m);
    // A shared name may take another part's typed text. Seconds fail a time's default step, and a number
    // or an address may fail its type's check.
    if (name == "dup") p.risky = true;
    for (const char* type : {"number", "time", "datetime-local", "email"})
        if (p.kind == type) p.risky = true;
    if (p.kind == "number" && m.chance(50)) p.html += " step=any";
    if (p.kind == "email" && m.chance(30)) {
        p.html += " multiple";
        p.kind += " multiple";
    }
    p.html += ">";
    if (p.kind != "hidden" && p.kind != "color" && m.chance(40)) {
        p.fill.push_back({name, m.pick(k.values)});
        p.risky = true;  // a typed date the control cannot take is bad input to the real engine
    }
    return p;
}

Part rangePart(Maker& m, const Encoding& e, size_t& counter) {
    // Odd bounds may fail the engine's own checks.
    Part p{"range", "", {}, false, true};
    std::string name = fieldName(m, e, counter);
    p.html = "<input type=range" + attr("name", name, m);
    for (const char* a : {"min", "max", "step", "value"})
        if (m.chance(50)) p.html += attr(a, m.pick({"0", "5", "0.5", "-3", "100", "7", "any", "x", "1e1", "2.25"}), m);
    p.html += ">";
    if (m.chance(30)) p.fill.push_back({name, m.pick({"3", "0.5", "200", "x"})});
    return p;
}

Part checkPart(Maker& m, const Encoding& e, size_t& counter) {
    Part p;
    std::string name = fieldName(m, e, counter);
    bool radio = m.chance(40);
    p.kind = radio ? "radio" : "checkbox";
    size_t n = radio ? 2 + m.below(2) : 1;
    std::vector<std::string> values;
    for (size_t i = 0; i < n; ++i) {
        std::string value = m.chance(70) ? m.pageText(e) + std::to_string(i) : "";
        p.html += "<input" + attr("type", p.kind, m) + attr("name", name, m);
        if (!value.empty()) p.html += attr("value", value, m);
        if (m.chance(40)) p.html += " checked";
        p.html += ">";
        values.push_back(value.empty() ? "on" : value);
    }
    const std::string& chosen = values[m.below(values.size())];
    if (plain(chosen) && m.chance(50)) p.fill.push_back({name, chosen, !radio && m.chance(50)});
    return p;
}

Part selectPart(Maker& m, const Encoding& e, size_t& counter) {
    Part p;
    std::string name = fieldName(m, e, counter);
    bool multiple = m.chance(40);
    p.kind = multiple ? "select multiple" : "select";
    p.html = "<select" + attr("name", name, m) + (multiple ? " multiple" : "");
    if (m.chance(20)) p.html += attr("size", m.pick({"0", "1", "3", "x"}), m);
    p.html += ">";
    size_t n = m.below(5);
    if (n == 0) p.kind += " empty";
    std::vector<std::string> plain;
    bool group = false;
    for (size_t i = 0; i < n; ++i) {
        if (m.chance(15) && !group) {
            p.html += "<optgroup label=g>";
            group = true;
        }
        std::string value = "o" + std::to_string(i);
        p.html += "<option";
        bool hasValue = m.chance(50);
        if (hasValue) p.html += attr("value", m.chance(30) ? m.pageText(e) : value, m);
        if (m.chance(30)) p.html += " selected";
        if (m.chance(10)) {
            p.html += " disabled";
            p.kind += " disabled option";
        }
        p.html += ">";
        std::string text = m.pick({"", " ", "  "}) + value + m.pick({"", " ", "\n x"});
        if (m.chance(20)) text += m.pageText(e);
        p.html += text;
        if (m.chance(50)) p.html += "</option>";
        if (!hasValue && text == value) plain.push_back(value);
    }
    if (group) p.html += "</optgroup>";
    p.html += "</select>";
    if (!plain.empty() && m.chance(50)) p.fill.push_back({name, m.pick(plain), multiple && m.chance(40)});
    return p;
}

Part buttonPart(Maker& m, const Encoding& e, size_t& counter) {
    Part p;
    std::string name = "b" + std::to_string(counter++);
    std::string value = m.chance(70) ? "v" + std::to_string(counter) : "";
    switch (m.below(5)) {
    case 0:
        p.kind = "input submit";
        p.html = "<input type=submit" + attr("name", name, m) + (value.empty() ? "" : attr("value", value, m));
        break;
    case 1:
        p.kind = "button";
        p.html = "<button" + attr("name", name, m) + (value.empty() ? "" : attr("value", value, m));
        break;
    case 2:
        p.kind = "button type=button";
        p.html = "<button type=button" + attr("name", name, m) + attr("value", "x", m) + ">x</button>";
        return p;
    case 3:
        p.kind = "input reset";
        p.html = "<input type=reset" + attr("name", name, m) + attr("value", "r", m) + ">";
        return p;
    default:
        p.kind = "button type=submit with overrides";
        p.html = "<button type=submit" + attr("name", name, m) + (value.empty() ? "" : attr("value", value, m));
        if (m.chance(50)) p.html += attr("formaction", m.pick({"other", "?b=1", "@P@button"}), m);
        if (m.chance(50)) p.html += attr("formmethod", m.pick({"post", "get", "GET", "dialog2"}), m);
        if (m.chance(30))
            p.html += attr("formenctype", m.pick({"application/x-www-form-urlencoded", "bogus", "TEXT/PLAIN2"}), m);
        if (m.chance(30)) p.html += " formnovalidate";
        break;
    }
    if (p.kind == "input submit") {
        p.html += ">";
    } else {
        p.html += ">" + m.pageText(e) + "</button>";
    }
    std::string shown = value.empty() ? (p.kind == "input submit" ? "Submit" : "") : value;
    if (!shown.empty() && m.chance(50)) p.fill.push_back({name, shown});
    return p;
}

Part textareaPart(Maker& m, const Encoding& e, size_t& counter) {
    Part p{"textarea", "", {}};
    std::string name = fieldName(m, e, counter);
    p.html = "<textarea" + attr("name", name, m);
    if (m.chance(10)) {
        p.html += attr("dirname", "ta.dir", m);
        p.kind += " dirname";
    }
    p.html += ">" + std::string(m.pick({"", "\n", "\r\n", "\n\n"})) + m.pageText(e) +
              m.pick({"", "\r\nb", "\nc\r", "<b>x</b>", "</form>"}) + "</textarea>";
    if (m.chance(50)) p.fill.push_back({name, m.typedText(e)});
    return p;
}

Part otherPart(Maker& m, const Encoding& e, size_t& counter) {
    Part p;
    std::string name = fieldName(m, e, counter);
    switch (m.below(8)) {
    case 0:
        p = {"file", "<input type=file" + attr("name", name, m) + ">", {}};
        break;
    case 1:
        p = {"output", "<output" + attr("name", name, m) + ">o</output>", {}};
        break;
    case 2:
        p = {"nameless", "<input value=x><input name='' value=y>", {}};
        break;
    case 3:
        p = {"datalist", "<datalist><input" + attr("name", name, m) + " value=d></datalist>", {}};
        break;
    case 4:
        p = {"object", "<object" + attr("name", name, m) + "></object><keygen name=kg>", {}};
        break;
    case 5:
        p = {"image", "<input type=image" + attr("name", name, m) + " alt=i>", {}};
        break;
    case 6:
        // The inner start tag is dropped; its end tag ends the outer form for the parts after it.
        p = {"nested form", "<form action=inner><input" + attr("name", name, m) + " value=i></form>", {}};
        break;
    default:
        p = {"misnested markup", "<p><b><input" + attr("name", name, m) + " value=b></p></b><li><i>", {}};
        break;
    }
    return p;
}

Part somePart(Maker& m, const Encoding& e, size_t& counter);

// A part made unusable: disabled itself, or in a disabled fieldset (where the first legend's fields
// still count), or owned by another form.
Part changedPart(Maker& m, const Encoding& e, size_t& counter) {
    Part inner = somePart(m, e, counter);
    inner.fill.clear();  // the user cannot type into it
    Part p;
    switch (m.below(4)) {
    case 0: {
        p.kind = "disabled " + inner.kind;
        p.html = inner.html;
        for (const char* tag : {"<input", "<select", "<textarea", "<button"}) {
            size_t at = p.html.find(tag);
            if (at != std::string::npos) {
                p.html.insert(at + std::string(tag).size(), " disabled");
                break;
            }
        }
        break;
    }
    case 1:
        p.kind = "disabled fieldset, " + inner.kind;
        p.html = "<fieldset disabled>" + inner.html + "</fieldset>";
        break;
    case 2:
        p.kind = "disabled fieldset legend, " + inner.kind;
        p.html = "<fieldset disabled><legend>" + inner.html + "</legend><input name=fsx value=1></fieldset>";
        break;
    default:
        p.kind = "owned by another form, " + inner.kind;
        p.html = inner.html;
        for (const char* tag : {"<input", "<select", "<textarea", "<button"}) {
            size_t at = p.html.find(tag);
            if (at != std::string::npos) {
                p.html.insert(at + std::string(tag).size(), " form=decoy");
                break;
            }
        }
        break;
    }
    p.risky = inner.risky;
    return p;
}

Part somePart(Maker& m, const Encoding& e, size_t& counter) {
    switch (m.below(16)) {
    case 0:
    case 1:
    case 2:
        return textPart(m, e, counter);
    case 3:
    case 4:
        return valuePart(m, e, counter);
    case 5:
        return rangePart(m, e, counter);
    case 6:
    case 7:
        return checkPart(m, e, counter);
    case 8:
    case 9:
        return selectPart(m, e, counter);
    case 10:
    case 11:
        return buttonPart(m, e, counter);
    case 12:
        return textareaPart(m, e, counter);
    case 13:
        return otherPart(m, e, counter);
    default:
        return valuePart(m, e, counter);
    }
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

PageSpec generate(uint64_t seed, size_t index) {
    Maker m(seed, index);
    PageSpec spec;
    spec.seed = seed;
    spec.index = index;
    const Encoding& e = m.pick(encodings());
    const char* label = m.pick(e.labels);
    spec.encoding = e.name;
    bool utf16 = std::string(e.name).rfind("UTF-16", 0) == 0;
    spec.wholePageUTF16 = utf16;
    spec.contentType = "text/html";
    std::string acceptCharset;
    switch (utf16 ? 0 : m.below(6)) {
    case 0:
        spec.declaredBy = "answer";
        spec.contentType = std::string("text/html; charset=") + label;
        break;
    case 1:
        spec.declaredBy = "meta";
        spec.head = std::string("<meta charset=") + label + ">";
        break;
    case 2:
        spec.declaredBy = "meta http-equiv";
        spec.head = std::string("<meta http-equiv=Content-Type content='text/html; charset=") + label + "'>";
        break;
    case 3:
        spec.declaredBy = "answer over meta";
        spec.contentType = std::string("text/html; charset=") + label;
        spec.head = "<meta charset=" + std::string(m.pick({"utf-8", "shift_jis", "koi8-r"})) + ">";
        break;
    case 4: {
        // The page in UTF-8, the form asking for this encoding.
        spec.declaredBy = "accept-charset";
        spec.contentType = "text/html; charset=utf-8";
        acceptCharset = std::string(m.pick({"", "bogus ", "utf-7, "})) + label;
        break;
    }
    default:
        if (std::string(e.name) == "UTF-8") {
            spec.declaredBy = "BOM over answer";
            spec.contentType = "text/html; charset=windows-1252";
            spec.utf8BOM = true;
        } else if (std::string(e.name) == "windows-1252") {
            spec.declaredBy = "nothing";
        } else {
            spec.declaredBy = "answer";
            spec.contentType = std::string("text/html; charset=") + label;
        }
        break;
    }
    // The characters of the page's values: the accept-charset's page is UTF-8.
    static const Encoding utf8Encoding{"UTF-8", "UTF-8", {"utf-8"}};
    const Encoding& written =
        (spec.declaredBy == "accept-charset" || utf16 || std::string(e.name) == "replacement") ? utf8Encoding : e;
    // Typed text comes from the repertoire of the encoding the form sends in.
    const Encoding& typedFrom = spec.declaredBy == "accept-charset" ? e : written;
    m.typedFrom = &typedFrom;

    spec.referrerPolicy =
        m.chance(25) ? m.pick({"no-referrer", "origin", "same-origin", "strict-origin", "origin-when-cross-origin",
                               "unsafe-url", "no-referrer-when-downgrade", "strict-origin-when-cross-origin"})
                     : "";
    // Pages over https send another Referer and Origin to plain http, and a scheme apart is another site.
    bool secure = m.chance(25);
    spec.pageOrigin = secure ? "https://secure.test" : "http://site.test";
    spec.crossSite = m.chance(30);
    if (spec.crossSite)
        spec.actionOrigin = secure ? m.pick({"http://secure.test", "http://other.test"})
                                   : m.pick({"http://other.test", "https://secure.test"});
    if (m.chance(60)) {
        spec.cookies.push_back("plain=1; Path=@P@");
        spec.cookies.push_back(std::string("ss=2; Path=@P@; SameSite=") + m.pick({"Lax", "Strict", "None", "bogus"}));
        if (m.chance(30)) spec.cookies.push_back("sec=3; Path=@P@; Secure");
        if (m.chance(30)) spec.cookies.push_back("other=4; Path=/elsewhere/");
    }

    std::string method = m.pick({"", "post", "POST", "get", "put", "post", "post"});
    spec.action =
        spec.crossSite ? spec.actionOrigin + "@P@sent" : m.pick({"sent", "sent?x=1&y", "@P@sent", "", "sent#f"});
    if (m.chance(30)) spec.head += "<form action=decoy id=decoy><input name=z></form>";
    spec.formOpen = "<form";
    if (!method.empty()) spec.formOpen += " method=" + method;
    if (!spec.action.empty() || m.chance(50)) spec.formOpen += " action=\"" + spec.action + "\"";
    if (!acceptCharset.empty()) spec.formOpen += " accept-charset=\"" + acceptCharset + "\"";
    if (m.chance(15))
        spec.formOpen += std::string(" enctype=") + m.pick({"application/x-www-form-urlencoded",
                                                            "APPLICATION/X-WWW-FORM-URLENCODED", "bogus", "''"});
    spec.formOpen += " id=main";
    spec.wrapper = m.pick({"plain", "plain", "table", "div"});

    size_t counter = 0;
    bool risky = false;
    size_t n = 1 + m.below(7);
    for (size_t i = 0; i < n; ++i) {
        Part p = m.chance(15) ? changedPart(m, written, counter) : somePart(m, written, counter);
        if (p.risky) risky = true;
        std::erase_if(p.fill, [](const FormField& f) { return !plain(f.name); });
        if (m.chance(10) && p.kind.find("another form") == std::string::npos &&
            p.html.find(" form=") == std::string::npos) {
            p.outside = true;
            p.kind = "outside, form=main, " + p.kind;
            for (const char* tag : {"<input", "<select", "<textarea", "<button"}) {
                size_t at = p.html.find(tag);
                if (at != std::string::npos) {
                    p.html.insert(at + std::string(tag).size(), " form=main");
                    break;
                }
            }
        }
        spec.parts.push_back(std::move(p));
    }
    if (risky)
        spec.formOpen += " novalidate";
    else if (m.chance(20)) {
        std::string name = "req" + std::to_string(counter++);
        Part p{"required", "<input name=" + name + " required>", {}};
        if (m.chance(70)) p.fill.push_back({name, m.typedText(typedFrom) + "r"});
        spec.parts.push_back(std::move(p));
    }
    spec.formOpen += ">";
    return spec;
}

std::string render(const PageSpec& spec, const std::string& prefix) {
    std::string inside, outside;
    for (const Part& p : spec.parts) (p.outside ? outside : inside) += p.html + "\n";
    std::string page = "<!DOCTYPE html><html><head>" + spec.head + "<title>f</title></head><body>\n";
    if (spec.wrapper == "table")
        page += "<table>" + spec.formOpen + "<tr><td>" + inside + "</td></tr></form></table>";
    else if (spec.wrapper == "div")
        page += "<div>" + spec.formOpen + "<p>" + inside + "</div></form>";
    else
        page += spec.formOpen + inside + "</form>";
    page += "\n" + outside + "</body></html>";
    page = replaceAll(page, "@P@", prefix);
    if (spec.utf8BOM) page = "\xEF\xBB\xBF" + page;
    if (spec.wholePageUTF16) {
        bool le = spec.encoding == "UTF-16LE";
        auto converted = convert(page, le ? "UTF-16LE" : "UTF-16BE");
        page = (le ? std::string("\xFF\xFE") : std::string("\xFE\xFF")) + converted.value_or("");
    }
    return page;
}

FormFill fillOf(const PageSpec& spec, const std::string& prefix) {
    FormFill fill;
    fill.action = replaceAll(spec.action, "@P@", prefix);
    for (const Part& p : spec.parts)
        for (const FormField& f : p.fill) fill.values.push_back({replaceAll(f.name, "@P@", prefix), f.value, f.off});
    return fill;
}

std::string describe(const PageSpec& spec) {
    std::string out = spec.encoding + " by " + spec.declaredBy + "; " + spec.formOpen + " in " + spec.wrapper;
    out += "; from " + spec.pageOrigin;
    if (spec.crossSite) out += " to " + spec.actionOrigin;
    if (!spec.referrerPolicy.empty()) out += "; Referrer-Policy " + spec.referrerPolicy;
    if (!spec.cookies.empty()) out += "; cookies";
    for (const Part& p : spec.parts) out += "; " + p.kind;
    return out;
}

}  // namespace tesmar_formdiff
