#pragma once
// ASCII string helpers shared by the whole tree: case mapping, case-insensitive comparison, trimming
// and base64. Case mapping touches 'A'-'Z' / 'a'-'z' only and never consults the C or C++ locale, so
// protocol tokens (header names, schemes, host names, attribute names) compare the same everywhere and
// bytes of UTF-8 text pass through unchanged. Pure functions, safe from any thread.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

constexpr char toASCIILower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
constexpr char toASCIIUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

std::string lowercasedASCII(std::string_view s);
std::string uppercasedASCII(std::string_view s);

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);
bool hasPrefixIgnoringASCIICase(std::string_view s, std::string_view prefix);
bool hasSuffixIgnoringASCIICase(std::string_view s, std::string_view suffix);
// The first position at or after `from` where `needle` starts, or npos (an empty needle is never found).
size_t findIgnoringASCIICase(std::string_view haystack, std::string_view needle, size_t from = 0);
bool containsIgnoringASCIICase(std::string_view haystack, std::string_view needle);

// `s` without any of `characters` at either end.
std::string_view trimmingCharacters(std::string_view s, std::string_view characters);
// `s` without the spaces and tabs around it (HTTP's optional whitespace).
std::string_view trimmingHTTPWhitespace(std::string_view s);
// `s` without spaces, tabs, line feeds, vertical tabs, form feeds and carriage returns around it.
std::string_view trimmingASCIIWhitespace(std::string_view s);

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Encoded(std::string_view bytes);
// The bytes of standard, padded base64 text; nullopt for anything else (a character outside the
// alphabet, whitespace included, a length that is not a multiple of four, misplaced padding).
std::optional<std::string> base64Decoded(std::string_view text);

}  // namespace platform
