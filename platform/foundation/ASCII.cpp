#include "platform/foundation/ASCII.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

namespace platform {

std::string lowercasedASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = toASCIILower(c);
    return out;
}

std::string uppercasedASCII(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = toASCIIUpper(c);
    return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return toASCIILower(x) == toASCIILower(y); });
}

bool hasPrefixIgnoringASCIICase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsIgnoringASCIICase(s.substr(0, prefix.size()), prefix);
}

bool hasSuffixIgnoringASCIICase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && equalsIgnoringASCIICase(s.substr(s.size() - suffix.size()), suffix);
}

size_t findIgnoringASCIICase(std::string_view haystack, std::string_view needle, size_t from) {
    if (needle.empty() || haystack.size() < needle.size()) return std::string_view::npos;
    for (size_t i = from; i + needle.size() <= haystack.size(); ++i)
        if (equalsIgnoringASCIICase(haystack.substr(i, needle.size()), needle)) return i;
    return std::string_view::npos;
}

bool containsIgnoringASCIICase(std::string_view haystack, std::string_view needle) {
    return findIgnoringASCIICase(haystack, needle) != std::string_view::npos;
}

std::string_view trimmingCharacters(std::string_view s, std::string_view characters) {
    size_t first = s.find_first_not_of(characters);
    if (first == std::string_view::npos) return s.substr(s.size());
    return s.substr(first, s.find_last_not_of(characters) - first + 1);
}

std::string_view trimmingHTTPWhitespace(std::string_view s) { return trimmingCharacters(s, " \t"); }

std::string_view trimmingASCIIWhitespace(std::string_view s) { return trimmingCharacters(s, " \t\n\v\f\r"); }

std::string base64Encoded(std::string_view bytes) {
    std::string out;
    out.reserve(4 * ((bytes.size() + 2) / 3));
    // EVP_EncodeBlock takes an int length: go in slices of whole 3-byte groups.
    constexpr size_t kSlice = 3 << 20;
    for (size_t at = 0; at < bytes.size(); at += kSlice) {
        std::string_view part = bytes.substr(at, kSlice);
        size_t offset = out.size();
        out.resize(offset + 4 * ((part.size() + 2) / 3) + 1);  // EVP_EncodeBlock writes a final NUL
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + offset),
                                reinterpret_cast<const unsigned char*>(part.data()), int(part.size()));
        out.resize(offset + size_t(std::max(n, 0)));
    }
    return out;
}

namespace {

bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

std::optional<std::string> base64Decoded(std::string_view text) {
    if (text.size() % 4 != 0 || text.size() > size_t(INT_MAX)) return std::nullopt;
    if (text.empty()) return std::string();
    size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
    // EVP_DecodeBlock skips whitespace around the text and decodes padding as zero bytes; check first.
    for (size_t i = 0; i < text.size() - padding; ++i)
        if (!isBase64Character(text[i])) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
    if (n < 0 || size_t(n) != out.size()) return std::nullopt;
    out.resize(out.size() - padding);
    return out;
}

}  // namespace platform
