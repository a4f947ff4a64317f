#pragma once
// Property lists <-> Value, over libplist: XML and binary formats, read and write. Bad input answers an
// Error in kCocoaErrorDomain (code 3840) and never crashes; input above the size cap is refused.
// Property lists have no null and no objects: writing one is an Error (code 3851), as are strings with
// a NUL character or invalid UTF-8 (and, in XML, control characters XML cannot carry) and non-finite reals.
//
// Limits of the underlying library (2.2) that callers see:
// - dates are carried to the microsecond in binary and to the second in XML, and only between 1933 and
//   2069 (int32 seconds around 2001): other dates are refused on write and on read;
// - integers are 64-bit signed; an unsigned value above INT64_MAX in a file reads back negative;
// - UIDs (keyed archives) read as { "CF$UID" = n; }.
// Input nesting is capped at 512 levels and checked before the library parses it (it recurses per level).
// Stateless and thread-safe.
#include <cstddef>
#include <string>

#include "platform/foundation/Error.h"

namespace platform::plist {

enum class Format { XML, Binary };

inline constexpr size_t kDefaultMaxBytes = 32 * 1024 * 1024;
// kCocoaErrorDomain: a value a property list cannot carry (a null, an object, a string with a NUL, ...).
inline constexpr int64_t kWriteInvalidError = 3851;

// Detects the format from the bytes ("bplist00" header or XML text).
Result<Value> read(const Bytes& data, size_t maxBytes = kDefaultMaxBytes, Format* detected = nullptr);
Result<Value> read(const std::string& data, size_t maxBytes = kDefaultMaxBytes, Format* detected = nullptr);
Result<Bytes> write(const Value& value, Format format = Format::XML);
// Whether a value is made only of what a property list can carry (no nulls or objects at any depth). The
// format's own limits (a NUL in a string, a non-finite real, a date out of range) show only when written.
bool isPropertyListValue(const Value& value);

// File helpers: readFile refuses files above the cap (Cocoa error 263; a missing file is 260, no
// permission 257). writeFile writes atomically and durably (FileManager::writeAtomically), so readers see
// the old or the new list, never a part.
Result<Value> readFile(const std::string& path, size_t maxBytes = kDefaultMaxBytes);
Result<void> writeFile(const Value& value, const std::string& path, Format format = Format::XML);

}  // namespace platform::plist
