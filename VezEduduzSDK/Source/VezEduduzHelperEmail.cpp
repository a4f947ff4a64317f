// E-mail address check: one pass over the text, no backtracking, so any length is safe.
//
// Accepted form: a local part of letters, digits and . ! # $ % & ' * + / = ? ^ _ ` { | } ~ -, one "@",
// then either a bracketed dotted quad of 1 to 3 digits per number (the numbers are not range-checked),
// or dot-separated non-empty labels of letters, digits and "-", at least two of them, the last being two
// or more letters only. Letters are ASCII only; any other byte (white space, NUL, non-ASCII) refuses.

#include <string_view>

#include "VezEduduzSDK/Source/VezEduduzHelper.h"

namespace vezeduduz {
namespace {

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool isLocalPartChar(char c) {
    if (isAsciiLetter(c) || isAsciiDigit(c)) return true;
    switch (c) {
    case '.':
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '/':
    case '=':
    case '?':
    case '^':
    case '_':
    case '`':
    case '{':
    case '|':
    case '}':
    case '~':
    case '-':
        return true;
    default:
        return false;
    }
}

bool isLabelChar(char c) { return isAsciiLetter(c) || isAsciiDigit(c) || c == '-'; }

// "[d.d.d.d]" with 1 to 3 digits per number.
bool isBracketedAddress(std::string_view domain) {
    if (domain.size() < 2 || domain.front() != '[' || domain.back() != ']') return false;
    std::string_view inner = domain.substr(1, domain.size() - 2);
    int numbers = 0;
    size_t digits = 0;
    for (char c : inner) {
        if (isAsciiDigit(c)) {
            if (++digits > 3) return false;
        } else if (c == '.') {
            if (digits == 0 || ++numbers > 3) return false;
            digits = 0;
        } else {
            return false;
        }
    }
    return numbers == 3 && digits > 0;
}

// "label.label...tld": non-empty labels, at least one before the top-level one, which is letters only
// and at least two long.
bool isHostName(std::string_view domain) {
    size_t lastDot = domain.rfind('.');
    if (lastDot == std::string_view::npos || lastDot == 0) return false;
    std::string_view top = domain.substr(lastDot + 1);
    if (top.size() < 2) return false;
    for (char c : top)
        if (!isAsciiLetter(c)) return false;
    size_t labelLength = 0;
    for (char c : domain.substr(0, lastDot + 1)) {
        if (c == '.') {
            if (labelLength == 0) return false;
            labelLength = 0;
        } else if (isLabelChar(c)) {
            ++labelLength;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool VezEduduzHelper::isValidEmail(const std::optional<std::string>& text) {
    if (!text) return false;
    std::string_view address(*text);
    // The local part cannot hold "@", so the first one is the separator; the domain cannot hold one either.
    size_t at = address.find('@');
    if (at == std::string_view::npos || at == 0) return false;
    for (char c : address.substr(0, at))
        if (!isLocalPartChar(c)) return false;
    std::string_view domain = address.substr(at + 1);
    return isBracketedAddress(domain) || isHostName(domain);
}

}  // namespace vezeduduz
