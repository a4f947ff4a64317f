#pragma once
// Text decoding by IANA charset name ("utf-8", "iso-8859-1", "utf-16", "windows-1252", ...) through iconv.
// Unknown names and bytes that are invalid in the named charset are Errors (kCocoaErrorDomain 261,
// "inapplicable string encoding"), never replacement characters. Character classes through
// libunistring. Stateless; safe from any thread.
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace platform::text {

inline constexpr int64_t kFileReadInapplicableStringEncodingError = 261;
inline constexpr int64_t kFileWriteInapplicableStringEncodingError = 517;

// Decodes `bytes` in charset `charsetName` (case-insensitive) to UTF-8. A UTF-8 byte-order mark is kept
// as it is; UTF-16/32 without a byte-order mark read as big-endian.
Result<std::string> decodeToUTF8(std::string_view bytes, std::string_view charsetName);
// Encodes UTF-8 text in charset `charsetName`; characters the charset cannot hold are an Error.
Result<std::string> encodeFromUTF8(std::string_view utf8, std::string_view charsetName);
// True when iconv knows the name (and the name is a plain charset name).
bool isKnownCharset(std::string_view charsetName);
// Strict UTF-8: no overlong forms, surrogates or code points above U+10FFFF.
bool isValidUTF8(std::string_view bytes);
// The code points of strict UTF-8 text; nullopt when the bytes are not.
std::optional<std::u32string> decodeUTF8(std::string_view bytes);
// Appends `c` to `out` in UTF-8; what is no character (a surrogate, past U+10FFFF) as U+FFFD.
void appendUTF8(std::string& out, char32_t c);
// The alphanumeric character set: letters, marks and numbers of every script (Unicode general
// categories L, M and N).
bool isAlphanumeric(char32_t c);

}  // namespace platform::text
