#include "platform/foundation/StringsFile.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/foundation/TextEncoding.h"

namespace platform::strings {

namespace {

constexpr int64_t kReadCorruptError = 3840;

Error corrupt(const std::string& what) {
    return Error::withDescription(kCocoaErrorDomain, kReadCorruptError, "The strings file is not valid: " + what);
}

bool isPlainWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_$+/:.-").find(c) != std::string_view::npos;
}

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    Result<Table> run() {
        Table table;
        for (;;) {
            if (!skipSpace()) return fail();
            if (i_ == s_.size()) return table;
            std::string key;
            if (!token(key) || !skipSpace()) return fail();
            std::string value;
            if (next('=')) {
                if (!skipSpace() || !token(value) || !skipSpace()) return fail();
            } else {
                value = key;
            }
            if (!next(';')) return fail("a \";\" is missing");
            table.insert_or_assign(std::move(key), std::move(value));
        }
    }

private:
    bool next(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool failWith(std::string what) {
        problem_ = std::move(what);
        return false;
    }
    Error fail(std::string what = {}) {
        if (!what.empty()) problem_ = std::move(what);
        size_t line = 1 + size_t(std::count(s_.begin(), s_.begin() + ptrdiff_t(std::min(i_, s_.size())), '\n'));
        return corrupt(problem_ + " at line " + std::to_string(line));
    }

    // White space and comments; false for a comment that never ends.
    bool skipSpace() {
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c == ' ' || (c >= '\t' && c <= '\r')) {
                ++i_;
            } else if (s_.substr(i_, 2) == "/*") {
                size_t end = s_.find("*/", i_ + 2);
                if (end == std::string_view::npos) return failWith("a comment never ends");
                i_ = end + 2;
            } else if (s_.substr(i_, 2) == "//") {
                size_t end = s_.find('\n', i_);
                i_ = end == std::string_view::npos ? s_.size() : end + 1;
            } else {
                break;
            }
        }
        return true;
    }

    bool token(std::string& out) {
        if (next('"')) return quoted(out);
        size_t start = i_;
        while (i_ < s_.size() && isPlainWordChar(s_[i_])) ++i_;
        if (i_ == start) return failWith("a string is expected");
        out.assign(s_.substr(start, i_ - start));
        return true;
    }

    bool quoted(std::string& out) {
        for (;;) {
            if (i_ == s_.size()) return failWith("a string never ends");
            char c = s_[i_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
            } else if (!escape(out)) {
                return false;
            }
        }
    }

    bool escape(std::string& out) {
        if (i_ == s_.size()) return failWith("a string never ends");
        char c = s_[i_++];
        static constexpr std::string_view kLetters = "ntrabfv", kControls = "\n\t\r\a\b\f\v";
        if (size_t k = kLetters.find(c); k != std::string_view::npos) {
            out += kControls[k];
            return true;
        }
        if (c == 'U' || c == 'u') return unicode(out);
        if (c >= '0' && c <= '7') {
            unsigned value = unsigned(c - '0');
            for (int digits = 1; digits < 3 && i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '7'; ++digits)
                value = value * 8 + unsigned(s_[i_++] - '0');
            if (value > 0x7F) return failWith("an octal escape is not ASCII");
            out += char(value);
            return true;
        }
        out += c;  // \" \\ \' and any other character stand for themselves
        return true;
    }

    std::optional<uint32_t> hexUnit() {
        if (s_.size() - i_ < 4) return std::nullopt;
        uint32_t unit = 0;
        for (int k = 0; k < 4; ++k) {
            char h = s_[i_ + size_t(k)];
            int digit = h >= '0' && h <= '9'   ? h - '0'
                        : h >= 'a' && h <= 'f' ? h - 'a' + 10
                        : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                               : -1;
            if (digit < 0) return std::nullopt;
            unit = unit * 16 + uint32_t(digit);
        }
        i_ += 4;
        return unit;
    }

    // After "\U": four hex digits; a high surrogate must be followed by "\U" and a low one.
    bool unicode(std::string& out) {
        auto unit = hexUnit();
        if (!unit) return failWith("a \\U escape needs four hex digits");
        uint32_t c = *unit;
        if (c >= 0xDC00 && c <= 0xDFFF) return failWith("a \\U escape is a lone surrogate");
        if (c >= 0xD800 && c <= 0xDBFF) {
            std::optional<uint32_t> low;
            if (s_.substr(i_, 2) == "\\U" || s_.substr(i_, 2) == "\\u") {
                i_ += 2;
                low = hexUnit();
            }
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return failWith("a \\U escape is a lone surrogate");
            c = 0x10000 + ((c - 0xD800) << 10) + (*low - 0xDC00);
        }
        text::appendUTF8(out, c);
        return true;
    }

    std::string_view s_;
    size_t i_ = 0;
    std::string problem_;
};

}  // namespace

Result<Table> read(std::string_view bytes) {
    std::string decoded;
    std::string_view text = bytes;
    if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
        auto utf8 = text::decodeToUTF8(bytes, "utf-16");
        if (!utf8) return corrupt("the UTF-16 text cannot be read");
        decoded = std::move(*utf8);
        text = decoded;
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (!text::isValidUTF8(text)) return corrupt("the text is not UTF-8");
    return Parser(text).run();
}

}  // namespace platform::strings
