#pragma once
// JSON text <-> Value, over nlohmann/json. Reading never aborts: bad input, too deep nesting or too much
// text answer an Error in kCocoaErrorDomain (code 3840, with a description naming what and where).
// Writing refuses what JSON cannot hold (NaN, infinities, data, dates, objects, strings that are not
// valid UTF-8; a non-container top level unless fragments are allowed) with an Error (code 3851 - invalid
// value for serialization). No exception of the underlying library escapes.
//
// Read errors carry in user info: the description (naming the byte offset), "NSDebugDescription" (the
// bare reason) and "NSJSONSerializationErrorIndex" (the 0-based byte offset).
//
// Parsing builds the Value directly from parser events without recursion, so deep input cannot exhaust
// the stack; keep maxDepth modest all the same, because a Value is copied and destroyed recursively.
// Stateless and thread-safe.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace platform::json {

inline constexpr int64_t kJSONReadErrorCode = 3840;
inline constexpr int64_t kJSONWriteErrorCode = 3851;

struct ReadOptions {
    bool allowFragments = false;         // accept a top level that is not an object or array
    size_t maxDepth = 512;               // nesting of arrays and objects
    size_t maxBytes = 64 * 1024 * 1024;  // input size cap
};

struct WriteOptions {
    // Two-space indentation, one member per line, "key": value; empty containers stay "[]" and "{}".
    bool prettyPrinted = false;
    bool sortedKeys = true;       // dictionaries are sorted anyway; kept for callers that say so
    bool allowFragments = false;  // allow a top level that is not an array or dictionary
};

// Integers that fit int64 stay integers; larger unsigned ones, fractions and exponents become doubles.
// Duplicate keys: the last one wins. A UTF-8 byte order mark is skipped.
Result<Value> read(std::string_view text, const ReadOptions& options = {});
Result<Value> read(const Bytes& data, const ReadOptions& options = {});

Result<std::string> write(const Value& value, const WriteOptions& options = {});
// Whether write() would succeed.
bool isValidJSONObject(const Value& value);

}  // namespace platform::json
