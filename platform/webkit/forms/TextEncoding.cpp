#include "platform/webkit/forms/internal/TextEncoding.h"

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/TextEncoding.h"
#include "platform/webkit/forms/internal/EncodingIndexes.h"

namespace platform::webkit::forms {

using text::appendUTF8;

namespace {

using Kind = TextEncoding::Kind;

// The labels pages use, as browsers read them (and a few more the real engine reads too).
const TextEncoding kEncodings[] = {
    {"UTF-8", Kind::UTF8, nullptr, "unicode-1-1-utf-8 unicode11utf8 unicode20utf8 utf-8 utf8 x-unicode20utf8"},
    {"IBM866", Kind::SingleByte, "ibm866", "866 cp866 csibm866 ibm866"},
    {"ISO-8859-2", Kind::SingleByte, "iso-8859-2",
     "csisolatin2 iso-8859-2 iso-ir-101 iso8859-2 iso88592 iso_8859-2 iso_8859-2:1987 l2 latin2"},
    {"ISO-8859-3", Kind::SingleByte, "iso-8859-3",
     "csisolatin3 iso-8859-3 iso-ir-109 iso8859-3 iso88593 iso_8859-3 iso_8859-3:1988 l3 latin3"},
    {"ISO-8859-4", Kind::SingleByte, "iso-8859-4",
     "csisolatin4 iso-8859-4 iso-ir-110 iso8859-4 iso88594 iso_8859-4 iso_8859-4:1988 l4 latin4"},
    {"ISO-8859-5", Kind::SingleByte, "iso-8859-5",
     "csisolatincyrillic cyrillic iso-8859-5 iso-ir-144 iso8859-5 iso88595 iso_8859-5 iso_8859-5:1988"},
    {"ISO-8859-6", Kind::SingleByte, "iso-8859-6",
     "arabic asmo-708 csiso88596e csiso88596i csisolatinarabic ecma-114 iso-8859-6 iso-8859-6-e iso-8859-6-i "
     "iso-ir-127 iso8859-6 iso88596 iso_8859-6 iso_8859-6:1987"},
    {"ISO-8859-7", Kind::SingleByte, "iso-8859-7",
     "csisolatingreek ecma-118 elot_928 greek greek8 iso-8859-7 iso-ir-126 iso8859-7 iso88597 iso_8859-7 "
     "iso_8859-7:1987 sun_eu_greek"},
    {"ISO-8859-8", Kind::SingleByte, "iso-8859-8",
     "csiso88598e csisolatinhebrew hebrew iso-8859-8 iso-8859-8-e iso-ir-138 iso8859-8 iso88598 iso_8859-8 "
     "iso_8859-8:1988 visual"},
    {"ISO-8859-8-I", Kind::SingleByte, "iso-8859-8", "csiso88598i iso-8859-8-i logical"},
    {"ISO-8859-10", Kind::SingleByte, "iso-8859-10",
     "csisolatin6 iso-8859-10 iso-ir-157 iso8859-10 iso885910 l6 latin6"},
    {"ISO-8859-13", Kind::SingleByte, "iso-8859-13", "iso-8859-13 iso8859-13 iso885913"},
    {"ISO-8859-14", Kind::SingleByte, "iso-8859-14", "iso-8859-14 iso8859-14 iso885914 l8 latin8"},
    {"ISO-8859-15", Kind::SingleByte, "iso-8859-15", "csisolatin9 iso-8859-15 iso8859-15 iso885915 iso_8859-15 l9"},
    {"ISO-8859-16", Kind::SingleByte, "iso-8859-16", "iso-8859-16 l10 latin10"},
    {"KOI8-R", Kind::SingleByte, "koi8-r", "cskoi8r koi koi8 koi8-r koi8_r"},
    {"KOI8-U", Kind::SingleByte, "koi8-u", "koi8-ru koi8-u"},
    {"macintosh", Kind::SingleByte, "macintosh", "csmacintosh mac macintosh macroman x-mac-roman"},
    {"windows-874", Kind::SingleByte, "windows-874", "dos-874 iso-8859-11 iso8859-11 iso885911 tis-620 windows-874"},
    {"windows-1250", Kind::SingleByte, "windows-1250", "cp1250 windows-1250 x-cp1250"},
    {"windows-1251", Kind::SingleByte, "windows-1251", "cp1251 windows-1251 x-cp1251"},
    {"windows-1252", Kind::SingleByte, "windows-1252",
     "ansi_x3.4-1968 ascii cp1252 cp819 csisolatin1 ibm819 iso-8859-1 iso-ir-100 iso8859-1 iso88591 iso_8859-1 "
     "iso_8859-1:1987 l1 latin1 us-ascii windows-1252 x-cp1252"},
    {"windows-1253", Kind::SingleByte, "windows-1253", "cp1253 windows-1253 x-cp1253"},
    {"windows-1254", Kind::SingleByte, "windows-1254",
     "cp1254 csisolatin5 iso-8859-9 iso-ir-148 iso8859-9 iso88599 iso_8859-9 iso_8859-9:1989 l5 latin5 "
     "windows-1254 x-cp1254"},
    {"windows-1255", Kind::SingleByte, "windows-1255", "cp1255 windows-1255 x-cp1255"},
    {"windows-1256", Kind::SingleByte, "windows-1256", "cp1256 windows-1256 x-cp1256"},
    {"windows-1257", Kind::SingleByte, "windows-1257", "cp1257 windows-1257 x-cp1257"},
    {"windows-1258", Kind::SingleByte, "windows-1258", "cp1258 windows-1258 x-cp1258"},
    {"x-mac-cyrillic", Kind::SingleByte, "x-mac-cyrillic", "mac-cyrillic maccyrillic x-mac-cyrillic x-mac-ukrainian"},
    {"GBK", Kind::GBK, nullptr,
     "chinese cn-gb cp936 csgb2312 csiso58gb231280 euc-cn gb2312 gb2312-1980 gb_2312 gb_2312-80 gbk iso-ir-58 "
     "ms936 windows-936 x-euc-cn x-gbk"},
    {"gb18030", Kind::GB18030, nullptr, "gb18030"},
    {"Big5", Kind::Big5, nullptr, "big5 big5-hkscs cn-big5 csbig5 x-x-big5"},
    {"EUC-JP", Kind::EUCJP, nullptr, "cseucpkdfmtjapanese euc-jp x-euc-jp"},
    {"ISO-2022-JP", Kind::ISO2022JP, nullptr, "csiso2022jp iso-2022-jp"},
    {"Shift_JIS", Kind::ShiftJIS, nullptr, "csshiftjis ms932 ms_kanji shift-jis shift_jis sjis windows-31j x-sjis"},
    {"EUC-KR", Kind::EUCKR, nullptr,
     "cseuckr csksc56011987 euc-kr iso-ir-149 korean ks_c_5601-1987 ks_c_5601-1989 ksc5601 ksc_5601 windows-949"},
    {"replacement", Kind::Replacement, nullptr,
     "csiso2022kr hz-gb-2312 iso-2022-cn iso-2022-cn-ext iso-2022-kr replacement"},
    {"UTF-16BE", Kind::UTF16BE, nullptr, "unicodefffe utf-16be"},
    {"UTF-16LE", Kind::UTF16LE, nullptr, "csunicode iso-10646-ucs-2 ucs-2 unicode unicodefeff utf-16 utf-16le"},
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

// An index table as the decoders and encoders use it: code point by pointer, and pointers by code point.
struct Index {
    std::vector<char32_t> codes;                          // by pointer; 0 where the pointer names none
    std::vector<std::pair<char32_t, uint32_t>> pointers;  // (code point, pointer), sorted

    char32_t code(uint32_t pointer) const { return pointer < codes.size() ? codes[pointer] : 0; }
    // The first pointer for `c` outside [skipFrom, skipTo), or the last one when `last`; -1 for none.
    int64_t pointer(char32_t c, uint32_t skipFrom = 0, uint32_t skipTo = 0, bool last = false) const {
        auto at = std::lower_bound(pointers.begin(), pointers.end(), std::make_pair(c, uint32_t{0}));
        int64_t found = -1;
        for (; at != pointers.end() && at->first == c; ++at) {
            if (at->second >= skipFrom && at->second < skipTo) continue;
            found = at->second;
            if (!last) break;
        }
        return found;
    }
};

// The index table named `name`, built on its first use (once per process, whichever thread asks first);
// null for none.
const Index* findIndex(std::string_view name) {
    static const std::unique_ptr<std::once_flag[]> once(new std::once_flag[kEncodingIndexCount]);
    static const std::unique_ptr<Index[]> built(new Index[kEncodingIndexCount]);
    size_t i = 0;
    while (i < kEncodingIndexCount && name != kEncodingIndexes[i].name) ++i;
    if (i == kEncodingIndexCount) return nullptr;
    std::call_once(once[i], [i] {
        const EncodingIndex& data = kEncodingIndexes[i];
        Index& table = built[i];
        uint32_t size = data.count ? data.entries[2 * (data.count - 1)] + 1 : 0;
        table.codes.assign(size, 0);
        table.pointers.reserve(data.count);
        for (size_t e = 0; e < data.count; ++e) {
            uint32_t pointer = data.entries[2 * e];
            char32_t code = data.entries[2 * e + 1];
            table.codes[pointer] = code;
            table.pointers.emplace_back(code, pointer);
        }
        std::sort(table.pointers.begin(), table.pointers.end());
    });
    return &built[i];
}

const Index& index(std::string_view name) {
    static const Index none;
    const Index* found = findIndex(name);
    return found ? *found : none;
}

// gb18030's four-byte codes: runs of consecutive pointers for consecutive code points.
struct Ranges {
    struct Run {
        uint32_t pointer;
        char32_t code;
        uint32_t length;
    };
    std::vector<Run> byPointer, byCode;

    char32_t code(uint32_t pointer) const {
        if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
        if (pointer >= 189000) return 0x10000 + pointer - 189000;
        auto run = std::upper_bound(byPointer.begin(), byPointer.end(), pointer,
                                    [](uint32_t p, const Run& r) { return p < r.pointer; });
        return run == byPointer.begin() ? 0 : std::prev(run)->code + (pointer - std::prev(run)->pointer);
    }
    int64_t pointer(char32_t c) const {
        if (c >= 0x10000) return 189000 + (c - 0x10000);
        auto run = std::upper_bound(byCode.begin(), byCode.end(), c,
                                    [](char32_t code, const Run& r) { return code < r.code; });
        if (run == byCode.begin() || c - std::prev(run)->code >= std::prev(run)->length) return -1;
        return std::prev(run)->pointer + (c - std::prev(run)->code);
    }
};

const Ranges& gb18030Ranges() {
    static const Ranges ranges = [] {
        Ranges built;
        for (size_t i = 0; i < kEncodingIndexCount; ++i) {
            const EncodingIndex& data = kEncodingIndexes[i];
            if (data.name != std::string_view("gb18030-ranges")) continue;
            for (size_t e = 0; e < data.count; ++e)
                built.byPointer.push_back({data.entries[2 * e], data.entries[2 * e + 1], 0});
        }
        for (size_t r = 0; r < built.byPointer.size(); ++r)
            built.byPointer[r].length =
                (r + 1 < built.byPointer.size() ? built.byPointer[r + 1].pointer : 39420) - built.byPointer[r].pointer;
        built.byCode = built.byPointer;
        std::sort(built.byCode.begin(), built.byCode.end(),
                  [](const Ranges::Run& a, const Ranges::Run& b) { return a.code < b.code; });
        return built;
    }();
    return ranges;
}

bool inRange(unsigned b, unsigned low, unsigned high) { return b >= low && b <= high; }

// The decoders. Each reads `bytes` to the end, a byte at a time, with -1 for the end; `again(n)` puts the
// last n bytes read (the end counting as one) back to be read again, as the decoder's state machine says.
class Decoder {
public:
    explicit Decoder(std::string_view bytes) : bytes_(bytes) { out_.reserve(bytes.size() * 3 / 2); }

    bool next(int& b) {
        if (at_ > bytes_.size()) return false;
        b = at_ < bytes_.size() ? static_cast<unsigned char>(bytes_[at_]) : -1;
        ++at_;
        return true;
    }
    void again(size_t n) { at_ -= n; }
    void emit(char32_t c) { appendUTF8(out_, c); }
    void error() { appendUTF8(out_, kReplacement); }
    // A double-byte character's end: its code point, or none, where an ASCII trail byte is read again
    // after the error.
    void trail(char32_t code, int b) {
        if (code) return emit(code);
        if (b < 0x80) again(1);
        error();
    }
    std::string take() { return std::move(out_); }

private:
    std::string_view bytes_;
    size_t at_ = 0;
    std::string out_;
};

// A single-byte encoding's table and the characters the real engine's form encoder writes as a byte
// of another (a full-width letter as its ASCII one, say), looked up once for all.
std::pair<const Index*, const Index*> singleByteTables(const TextEncoding& encoding) {
    constexpr size_t count = std::size(kEncodings);
    static const auto tables = [] {
        std::array<std::pair<const Index*, const Index*>, count> found{};
        for (size_t i = 0; i < count; ++i)
            if (kEncodings[i].kind == Kind::SingleByte)
                found[i] = {&index(kEncodings[i].index), findIndex(std::string(kEncodings[i].index) + "-fallbacks")};
        return found;
    }();
    bool ours = !std::less<>()(&encoding, std::begin(kEncodings)) && std::less<>()(&encoding, std::end(kEncodings));
    return ours ? tables[&encoding - kEncodings] : std::make_pair(&index(encoding.index), nullptr);
}

std::string decodedSingleByte(std::string_view bytes, const Index& table) {
    std::string out;
    out.reserve(bytes.size() * 3 / 2);
    for (char c : bytes) {
        unsigned b = static_cast<unsigned char>(c);
        char32_t code = b < 0x80 ? b : table.code(b - 0x80);
        appendUTF8(out, code || b == 0 ? code : kReplacement);
    }
    return out;
}

std::string decodedGB18030(std::string_view bytes) {
    static const Index& table = index("gb18030");
    Decoder d(bytes);
    unsigned first = 0, second = 0, third = 0;
    for (int b; d.next(b);) {
        if (b < 0) {
            if (first || second || third) d.error();
        } else if (third) {
            if (!inRange(b, 0x30, 0x39)) {
                d.again(3);
                first = second = third = 0;
                d.error();
                continue;
            }
            uint32_t pointer = (((first - 0x81) * 10 + second - 0x30) * 126 + third - 0x81) * 10 + b - 0x30;
            first = second = third = 0;
            char32_t code = gb18030Ranges().code(pointer);
            code ? d.emit(code) : d.error();
        } else if (second) {
            if (inRange(b, 0x81, 0xFE)) {
                third = b;
            } else {
                d.again(2);
                first = second = 0;
                d.error();
            }
        } else if (first) {
            if (inRange(b, 0x30, 0x39)) {
                second = b;
                continue;
            }
            unsigned lead = first;
            first = 0;
            char32_t code = 0;
            if (inRange(b, 0x40, 0x7E) || inRange(b, 0x80, 0xFE))
                code = table.code((lead - 0x81) * 190 + b - (b < 0x7F ? 0x40 : 0x41));
            d.trail(code, b);
        } else if (b < 0x80) {
            d.emit(b);
        } else if (b == 0x80) {
            d.emit(0x20AC);
        } else if (b != 0xFF) {
            first = b;
        } else {
            d.error();
        }
    }
    return d.take();
}

std::string decodedBig5(std::string_view bytes) {
    static const Index& table = index("big5");
    Decoder d(bytes);
    unsigned lead = 0;
    for (int b; d.next(b);) {
        if (b < 0) {
            if (lead) d.error();
        } else if (lead) {
            unsigned l = lead;
            lead = 0;
            uint32_t pointer = UINT32_MAX;
            if (inRange(b, 0x40, 0x7E) || inRange(b, 0xA1, 0xFE))
                pointer = (l - 0x81) * 157 + b - (b < 0x7F ? 0x40 : 0x62);
            // Four pointers stand for a letter and a combining mark.
            if (pointer == 1133 || pointer == 1135 || pointer == 1164 || pointer == 1166) {
                d.emit(pointer < 1164 ? 0xCA : 0xEA);
                d.emit(pointer == 1133 || pointer == 1164 ? 0x304 : 0x30C);
                continue;
            }
            char32_t code = pointer == UINT32_MAX ? 0 : table.code(pointer);
            d.trail(code, b);
        } else if (b < 0x80) {
            d.emit(b);
        } else if (inRange(b, 0x81, 0xFE)) {
            lead = b;
        } else {
            d.error();
        }
    }
    return d.take();
}

std::string decodedEUCJP(std::string_view bytes) {
    static const Index& jis0208Table = index("jis0208");
    static const Index& jis0212Table = index("jis0212");
    Decoder d(bytes);
    unsigned lead = 0;
    bool jis0212 = false;
    for (int b; d.next(b);) {
        if (b < 0) {
            if (lead) d.error();
        } else if (lead == 0x8E && inRange(b, 0xA1, 0xDF)) {
            lead = 0;
            d.emit(0xFF61 - 0xA1 + b);
        } else if (lead == 0x8F && inRange(b, 0xA1, 0xFE)) {
            jis0212 = true;
            lead = b;
        } else if (lead) {
            unsigned l = lead;
            lead = 0;
            char32_t code = 0;
            if (inRange(l, 0xA1, 0xFE) && inRange(b, 0xA1, 0xFE))
                code = (jis0212 ? jis0212Table : jis0208Table).code((l - 0xA1) * 94 + b - 0xA1);
            jis0212 = false;
            d.trail(code, b);
        } else if (b < 0x80) {
            d.emit(b);
        } else if (b == 0x8E || b == 0x8F || inRange(b, 0xA1, 0xFE)) {
            lead = b;
        } else {
            d.error();
        }
    }
    return d.take();
}

std::string decodedISO2022JP(std::string_view bytes) {
    enum State { ASCII, Roman, Katakana, LeadByte, TrailByte, EscapeStart, Escape };
    static const Index& table = index("jis0208");
    Decoder d(bytes);
    State state = ASCII, outputState = ASCII;
    unsigned lead = 0;
    bool output = false;  // nothing written since the last escape sequence
    for (int b; d.next(b);) {
        switch (state) {
        case ASCII:
        case Roman:
        case Katakana:
        case LeadByte:
            if (b < 0) break;
            if (b == 0x1B) {
                state = EscapeStart;
                break;
            }
            output = false;
            if (state == ASCII && b < 0x80 && b != 0x0E && b != 0x0F)
                d.emit(b);
            else if (state == Roman && b == 0x5C)
                d.emit(0xA5);
            else if (state == Roman && b == 0x7E)
                d.emit(0x203E);
            else if (state == Roman && b < 0x80 && b != 0x0E && b != 0x0F)
                d.emit(b);
            else if (state == Katakana && inRange(b, 0x21, 0x5F))
                d.emit(0xFF61 - 0x21 + b);
            else if (state == LeadByte && inRange(b, 0x21, 0x7E)) {
                lead = b;
                state = TrailByte;
            } else
                d.error();
            break;
        case TrailByte:
            if (b == 0x1B) {
                state = EscapeStart;
                d.error();
                break;
            }
            state = LeadByte;
            if (inRange(b, 0x21, 0x7E)) {
                char32_t code = table.code((lead - 0x21) * 94 + b - 0x21);
                code ? d.emit(code) : d.error();
                break;
            }
            if (b < 0) d.again(1);
            d.error();
            break;
        case EscapeStart:
            if (b == 0x24 || b == 0x28) {
                lead = b;
                state = Escape;
                break;
            }
            d.again(1);
            output = false;
            state = outputState;
            d.error();
            break;
        case Escape: {
            unsigned l = lead;
            lead = 0;
            std::optional<State> next;
            if (l == 0x28 && b == 0x42) next = ASCII;
            if (l == 0x28 && b == 0x4A) next = Roman;
            if (l == 0x28 && b == 0x49) next = Katakana;
            if (l == 0x24 && (b == 0x40 || b == 0x42)) next = LeadByte;
            if (next) {
                state = outputState = *next;
                // Two escape sequences in a row stand for a lost character between them.
                if (std::exchange(output, true)) d.error();
                break;
            }
            d.again(2);
            output = false;
            state = outputState;
            d.error();
            break;
        }
        }
    }
    return d.take();
}

std::string decodedShiftJIS(std::string_view bytes) {
    static const Index& table = index("jis0208");
    Decoder d(bytes);
    unsigned lead = 0;
    for (int b; d.next(b);) {
        if (b < 0) {
            if (lead) d.error();
        } else if (lead) {
            unsigned l = lead;
            lead = 0;
            char32_t code = 0;
            if (inRange(b, 0x40, 0x7E) || inRange(b, 0x80, 0xFC)) {
                uint32_t pointer = (l - (l < 0xA0 ? 0x81 : 0xC1)) * 188 + b - (b < 0x7F ? 0x40 : 0x41);
                // The user-defined area maps to the private use one.
                code = pointer >= 8836 && pointer <= 10715 ? 0xE000 - 8836 + pointer : table.code(pointer);
            }
            d.trail(code, b);
        } else if (b <= 0x80) {
            d.emit(b);
        } else if (inRange(b, 0xA1, 0xDF)) {
            d.emit(0xFF61 - 0xA1 + b);
        } else if (inRange(b, 0x81, 0x9F) || inRange(b, 0xE0, 0xFC)) {
            lead = b;
        } else {
            d.error();
        }
    }
    return d.take();
}

std::string decodedEUCKR(std::string_view bytes) {
    static const Index& table = index("euc-kr");
    Decoder d(bytes);
    unsigned lead = 0;
    for (int b; d.next(b);) {
        if (b < 0) {
            if (lead) d.error();
        } else if (lead) {
            unsigned l = lead;
            lead = 0;
            char32_t code = inRange(b, 0x41, 0xFE) ? table.code((l - 0x81) * 190 + b - 0x41) : 0;
            d.trail(code, b);
        } else if (b < 0x80) {
            d.emit(b);
        } else if (inRange(b, 0x81, 0xFE)) {
            lead = b;
        } else {
            d.error();
        }
    }
    return d.take();
}

// UTF-16: each unpaired surrogate is one U+FFFD, and reading goes on at the next code unit.
std::string decodedUTF16(std::string_view bytes, bool bigEndian) {
    Decoder d(bytes);
    int leadByte = -1;
    char32_t leadSurrogate = 0;
    for (int b; d.next(b);) {
        if (b < 0) {
            if (leadByte >= 0 || leadSurrogate) d.error();
            break;
        }
        if (leadByte < 0) {
            leadByte = b;
            continue;
        }
        char32_t unit = bigEndian ? (leadByte << 8) + b : (b << 8) + leadByte;
        leadByte = -1;
        if (leadSurrogate) {
            char32_t high = std::exchange(leadSurrogate, 0);
            if (inRange(unit, 0xDC00, 0xDFFF)) {
                d.emit(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
                continue;
            }
            d.again(2);
            d.error();
        } else if (inRange(unit, 0xD800, 0xDBFF)) {
            leadSurrogate = unit;
        } else if (inRange(unit, 0xDC00, 0xDFFF)) {
            d.error();
        } else {
            d.emit(unit);
        }
    }
    return d.take();
}

// The encoders: each writes `c` to `out` and answers true, or answers false for a character the encoding
// has no bytes for (the caller writes it as a reference, through the same encoder).
void put(std::string& out, unsigned b) { out += static_cast<char>(b); }

bool encodedGB18030(char32_t c, std::string& out, bool gbk) {
    if (c < 0x80) return put(out, c), true;
    if (c == 0xE5E5) return false;
    if (gbk && c == 0x20AC) return put(out, 0x80), true;
    static const Index& table = index("gb18030");
    static const Index& extra = index("gb18030-encoder-extra");
    int64_t pointer = table.pointer(c);
    // Private use code points that once stood for characters since given their own are still written.
    if (pointer < 0) pointer = extra.pointer(c);
    if (pointer >= 0) {
        unsigned trail = pointer % 190;
        put(out, pointer / 190 + 0x81);
        put(out, trail + (trail < 0x3F ? 0x40 : 0x41));
        return true;
    }
    if (gbk) return false;
    pointer = gb18030Ranges().pointer(c);
    if (pointer < 0) return false;
    put(out, pointer / 12600 + 0x81);
    put(out, pointer / 1260 % 10 + 0x30);
    put(out, pointer / 10 % 126 + 0x81);
    put(out, pointer % 10 + 0x30);
    return true;
}

bool encodedBig5(char32_t c, std::string& out) {
    if (c < 0x80) return put(out, c), true;
    // The Hong Kong additions below lead 0xA1 are read but never written; six characters that are in the
    // table twice are written with their later pointer.
    bool last = c == 0x2550 || c == 0x255E || c == 0x2561 || c == 0x256A || c == 0x5341 || c == 0x5345;
    static const Index& table = index("big5");
    int64_t pointer = table.pointer(c, 0, (0xA1 - 0x81) * 157, last);
    if (pointer < 0) return false;
    unsigned trail = pointer % 157;
    put(out, pointer / 157 + 0x81);
    put(out, trail + (trail < 0x3F ? 0x40 : 0x62));
    return true;
}

bool encodedEUCJP(char32_t c, std::string& out) {
    if (c < 0x80) return put(out, c), true;
    if (c == 0xA5) return put(out, 0x5C), true;
    if (c == 0x203E) return put(out, 0x7E), true;
    if (inRange(c, 0xFF61, 0xFF9F)) return put(out, 0x8E), put(out, c - 0xFF61 + 0xA1), true;
    if (c == 0x2212) c = 0xFF0D;
    static const Index& table = index("jis0208");
    int64_t pointer = table.pointer(c);
    if (pointer < 0) return false;
    put(out, pointer / 94 + 0xA1);
    put(out, pointer % 94 + 0xA1);
    return true;
}

bool encodedShiftJIS(char32_t c, std::string& out) {
    if (c <= 0x80) return put(out, c), true;
    if (c == 0xA5) return put(out, 0x5C), true;
    if (c == 0x203E) return put(out, 0x7E), true;
    if (inRange(c, 0xFF61, 0xFF9F)) return put(out, c - 0xFF61 + 0xA1), true;
    if (c == 0x2212) c = 0xFF0D;
    // Pointers 8272 to 8835 repeat characters found later in the table; those are written instead.
    static const Index& table = index("jis0208");
    int64_t pointer = table.pointer(c, 8272, 8836);
    if (pointer < 0) return false;
    unsigned lead = pointer / 188, trail = pointer % 188;
    put(out, lead + (lead < 0x1F ? 0x81 : 0xC1));
    put(out, trail + (trail < 0x3F ? 0x40 : 0x41));
    return true;
}

bool encodedEUCKR(char32_t c, std::string& out) {
    if (c < 0x80) return put(out, c), true;
    static const Index& table = index("euc-kr");
    int64_t pointer = table.pointer(c);
    if (pointer < 0) return false;
    put(out, pointer / 190 + 0x81);
    put(out, pointer % 190 + 0x41);
    return true;
}

// ISO-2022-JP switches between ASCII, JIS X 0201 Roman and JIS X 0208 with escape sequences.
class ISO2022JPEncoder {
public:
    bool encode(char32_t c, std::string& out) {
        for (;;) {
            if ((state_ == ASCII || state_ == Roman) && (c == 0x0E || c == 0x0F || c == 0x1B)) {
                // Would read as a shift or an escape: the reference names U+FFFD instead.
                errorCode_ = kReplacement;
                return false;
            }
            if (state_ == ASCII && c < 0x80) return put(out, c), true;
            if (state_ == Roman && ((c < 0x80 && c != 0x5C && c != 0x7E) || c == 0xA5 || c == 0x203E)) {
                put(out, c == 0xA5 ? 0x5C : c == 0x203E ? 0x7E : c);
                return true;
            }
            if (c < 0x80) {
                switchTo(ASCII, out);
                continue;
            }
            if (c == 0xA5 || c == 0x203E) {
                switchTo(Roman, out);
                continue;
            }
            char32_t wanted = c == 0x2212 ? 0xFF0D : c;
            static const Index& katakana = index("iso-2022-jp-katakana");
            static const Index& jis0208 = index("jis0208");
            if (inRange(wanted, 0xFF61, 0xFF9F)) wanted = katakana.code(wanted - 0xFF61);
            int64_t pointer = jis0208.pointer(wanted);
            if (pointer < 0) {
                if (state_ == JIS0208) {
                    switchTo(ASCII, out);
                    continue;
                }
                errorCode_ = c;
                return false;
            }
            if (state_ != JIS0208) {
                switchTo(JIS0208, out);
                continue;
            }
            put(out, pointer / 94 + 0x21);
            put(out, pointer % 94 + 0x21);
            return true;
        }
    }
    void finish(std::string& out) {
        if (state_ != ASCII) switchTo(ASCII, out);
    }
    // The character an error is reported for.
    char32_t errorCode() const { return errorCode_; }

private:
    enum State { ASCII, Roman, JIS0208 };
    void switchTo(State state, std::string& out) {
        state_ = state;
        out += state == ASCII ? "\x1B(B" : state == Roman ? "\x1B(J" : "\x1B$B";
    }
    State state_ = ASCII;
    char32_t errorCode_ = 0;
};

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
                    bool endTag = name > at_ + 1;
                    at_ = name;
                    while (at_ < bytes_.size() && !isASCIIWhitespace(bytes_[at_]) && bytes_[at_] != '>') ++at_;
                    std::string tag = lowercasedASCII(bytes_.substr(name, at_ - name));
                    tag.resize(std::min(tag.size(), tag.find('/')));  // <script/> is a script
                    std::string attributeName, value;
                    while (attribute(attributeName, value)) {
                    }
                    ++at_;
                    if (!endTag && !skipText(tag)) return nullptr;
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

    // Past the text of an element whose text holds no tags (a <meta> there is text, as the engine reads
    // it), to its end tag; false when no end tag follows, or none can (<plaintext>).
    bool skipText(const std::string& tag) {
        if (tag == "plaintext") return false;
        if (!holdsOnlyText(tag)) return true;
        for (size_t end = at_;; end += 2) {
            end = findIgnoringASCIICase(bytes_, "</" + tag, end);
            if (end == std::string_view::npos) return false;
            size_t after = end + 2 + tag.size();
            if (after >= bytes_.size() || isASCIIWhitespace(bytes_[after]) || bytes_[after] == '/' ||
                bytes_[after] == '>') {
                at_ = end;
                return true;
            }
        }
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
        if ((charset->kind == Kind::UTF16BE || charset->kind == Kind::UTF16LE)) return &utf8Encoding();
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
    bool utf16 = encoding.kind == Kind::UTF16BE || encoding.kind == Kind::UTF16LE;
    return utf16 || encoding.kind == Kind::Replacement ? utf8Encoding() : encoding;
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
    if (found && (found->kind == Kind::UTF16BE || found->kind == Kind::UTF16LE)) return &utf8Encoding();
    if (found && found->kind == Kind::UserDefined) return &named("windows-1252");
    return found;
}

std::string decodedText(std::string_view bytes, const TextEncoding& encoding) {
    switch (encoding.kind) {
    case Kind::UTF8:
        if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
        return utf8Of(codePoints(bytes));
    case Kind::UTF16BE:
    case Kind::UTF16LE: {
        bool bigEndian = encoding.kind == Kind::UTF16BE;
        if (bytes.substr(0, 2) == (bigEndian ? "\xFE\xFF" : "\xFF\xFE")) bytes.remove_prefix(2);
        return decodedUTF16(bytes, bigEndian);
    }
    case Kind::SingleByte:
        return decodedSingleByte(bytes, index(encoding.index));
    case Kind::GBK:
    case Kind::GB18030:
        return decodedGB18030(bytes);
    case Kind::Big5:
        return decodedBig5(bytes);
    case Kind::EUCJP:
        return decodedEUCJP(bytes);
    case Kind::ISO2022JP:
        return decodedISO2022JP(bytes);
    case Kind::ShiftJIS:
        return decodedShiftJIS(bytes);
    case Kind::EUCKR:
        return decodedEUCKR(bytes);
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
    }
    return "";
}

std::string encodedForForm(std::string_view text, const TextEncoding& encoding) {
    auto points = codePoints(text);
    switch (encoding.kind) {
    case Kind::UTF8:
    case Kind::UTF16BE:
    case Kind::UTF16LE:
    case Kind::Replacement:
        return utf8Of(points);
    default:
        break;
    }
    const Index* table = nullptr;
    const Index* fallbacks = nullptr;
    if (encoding.kind == Kind::SingleByte) std::tie(table, fallbacks) = singleByteTables(encoding);
    ISO2022JPEncoder iso2022jp;
    auto encodeOne = [&](char32_t c, std::string& out) {
        switch (encoding.kind) {
        case Kind::SingleByte: {
            if (c < 0x80) return put(out, c), true;
            if (int64_t pointer = table->pointer(c); pointer >= 0) return put(out, pointer + 0x80), true;
            if (int64_t byte = fallbacks ? fallbacks->pointer(c) : -1; byte >= 0) return put(out, byte), true;
            return false;
        }
        case Kind::UserDefined:
            if (c < 0x80 || inRange(c, 0xF780, 0xF7FF)) return put(out, c < 0x80 ? c : c - 0xF780 + 0x80), true;
            return false;
        case Kind::GBK:
        case Kind::GB18030:
            return encodedGB18030(c, out, encoding.kind == Kind::GBK);
        case Kind::Big5:
            return encodedBig5(c, out);
        case Kind::EUCJP:
            return encodedEUCJP(c, out);
        case Kind::ISO2022JP:
            return iso2022jp.encode(c, out);
        case Kind::ShiftJIS:
            return encodedShiftJIS(c, out);
        case Kind::EUCKR:
            return encodedEUCKR(c, out);
        default:
            return false;
        }
    };
    std::string out;
    out.reserve(text.size());
    for (char32_t c : points) {
        if (encodeOne(c, out)) continue;
        // What the encoding has no bytes for goes as a character reference, itself through the encoder.
        char32_t named = encoding.kind == Kind::ISO2022JP ? iso2022jp.errorCode() : c;
        for (char r : "&#" + std::to_string(static_cast<uint32_t>(named)) + ";") encodeOne(r, out);
    }
    iso2022jp.finish(out);
    return out;
}

bool holdsOnlyText(std::string_view tagName) {
    static const std::set<std::string, std::less<>> elements = {"iframe", "noembed",  "noframes", "plaintext", "script",
                                                                "style",  "textarea", "title",    "xmp"};
    return elements.count(tagName) > 0;
}

}  // namespace platform::webkit::forms
