#pragma once
// Property lists <-> Value, over libplist: XML and binary formats, read and write. Bad input answers an
// Error in kCocoaErrorDomain (code 3840) and never crashes; input above the size cap is refused.
// Property lists have no null and no objects: writing one is an Error (code 3851).
#include <cstddef>
#include <string>

#include "platform/foundation/Error.h"

namespace platform::plist {

enum class Format { XML, Binary };

inline constexpr size_t kDefaultMaxBytes = 32 * 1024 * 1024;

// Detects the format from the bytes ("bplist00" header or XML text).
Result<Value> read(const Bytes& data, size_t maxBytes = kDefaultMaxBytes, Format* detected = nullptr);
Result<Value> read(const std::string& data, size_t maxBytes = kDefaultMaxBytes, Format* detected = nullptr);
Result<Bytes> write(const Value& value, Format format = Format::XML);

// File helpers: readFile refuses files above the cap; writeFile writes atomically (temp file + rename).
Result<Value> readFile(const std::string& path, size_t maxBytes = kDefaultMaxBytes);
Result<void> writeFile(const Value& value, const std::string& path, Format format = Format::XML);

}  // namespace platform::plist
