#pragma once
// The localisation table format ("<language>.lproj/<table>.strings"): entries `"key" = "value";` (or
// `"key";`, whose value is the key), keys and values quoted or plain words of letters, digits and
// "_$+/:.-", with /* */ and // comments between tokens. Quoted text takes the escapes \" \\ \' \n \t \r
// \a \b \f \v, \Uxxxx (a UTF-16 unit, surrogate pairs joined), octal \ooo for an ASCII character; any
// other escaped character stands for itself. The file is UTF-8 (a byte-order mark is skipped) or
// UTF-16 with a byte-order mark. A later entry for the same key replaces an earlier one.
//
// The text comes from outside: anything malformed (bad UTF-8, an unterminated string or comment, a lone
// surrogate, a missing ";") fails the whole file with a Cocoa error 3840 naming the line; never a
// partial table. Pure functions, safe from any thread.
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace platform::strings {

using Table = std::map<std::string, std::string, std::less<>>;

Result<Table> read(std::string_view bytes);

}  // namespace platform::strings
