#include <cctype>
#include <string>
#include <string_view>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/TextEncoding.h"
#include "platform/webkit/PageEngine.h"

namespace platform::webkit::webkit_detail {

namespace {

// Decodes one character reference at text[i] == '&'; answers the characters consumed (0: not one).
size_t decodeReference(std::string_view text, size_t i, std::string& out) {
    static const std::pair<std::string_view, std::string_view> named[] = {
        {"amp;", "&"}, {"lt;", "<"}, {"gt;", ">"}, {"quot;", "\""}, {"apos;", "'"}, {"nbsp;", " "}};
    std::string_view rest = text.substr(i + 1);
    for (const auto& [name, value] : named) {
        if (rest.substr(0, name.size()) == name) {
            out += value;
            return name.size() + 1;
        }
    }
    if (rest.empty() || rest[0] != '#') return 0;
    bool hex = rest.size() > 1 && (rest[1] == 'x' || rest[1] == 'X');
    size_t pos = hex ? 2 : 1;
    unsigned long cp = 0;
    size_t digits = 0;
    while (pos < rest.size() && digits < 8) {
        char c = rest[pos];
        int d = std::isdigit(static_cast<unsigned char>(c))           ? c - '0'
                : hex && std::isxdigit(static_cast<unsigned char>(c)) ? toASCIILower(c) - 'a' + 10
                                                                      : -1;
        if (d < 0) break;
        cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d);
        ++pos;
        ++digits;
    }
    if (digits == 0 || pos >= rest.size() || rest[pos] != ';') return 0;
    // A reference to no character, or to NUL, stands for U+FFFD.
    platform::text::appendUTF8(out, cp == 0 || cp > 0x10FFFF ? char32_t(0xFFFD) : char32_t(cp));
    return pos + 2;
}

}  // namespace

std::string htmlTitle(const std::string& html) {
    std::string_view text(html);
    size_t open = findIgnoringASCIICase(text, "<title", 0);
    while (open != std::string_view::npos) {
        char after = open + 6 < text.size() ? text[open + 6] : '\0';
        if (after == '>' || std::isspace(static_cast<unsigned char>(after))) break;
        open = findIgnoringASCIICase(text, "<title", open + 6);  // <titles> is not <title>
    }
    if (open == std::string_view::npos) return "";
    size_t start = text.find('>', open);
    if (start == std::string_view::npos) return "";
    ++start;
    size_t end = findIgnoringASCIICase(text, "</title", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);

    std::string decoded;
    for (size_t i = 0; i < raw.size();) {
        if (raw[i] == '&') {
            size_t used = decodeReference(raw, i, decoded);
            if (used) {
                i += used;
                continue;
            }
        }
        decoded += raw[i++];
    }
    std::string out;
    bool space = false;
    for (char c : decoded) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            space = !out.empty();
        } else {
            if (space) out += ' ';
            space = false;
            out += c;
        }
    }
    return out;
}

}  // namespace platform::webkit::webkit_detail
