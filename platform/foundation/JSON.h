#pragma once
// JSON text <-> Value, over nlohmann/json. Reading never aborts: bad input, too deep nesting or too much
// text answer an Error in kCocoaErrorDomain (code 3840, with a description naming what and where).
// Writing refuses what JSON cannot hold (NaN, infinities, data, dates, objects; a non-container top
// level unless fragments are allowed) with an Error (code 3851 - invalid value for serialization).
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace platform::json {

inline constexpr int64_t kJSONReadErrorCode = 3840;
inline constexpr int64_t kJSONWriteErrorCode = 3851;

struct ReadOptions {
    bool allowFragments = false;        // accept a top level that is not an object or array
    size_t maxDepth = 512;              // nesting of arrays and objects
    size_t maxBytes = 64 * 1024 * 1024;  // input size cap
};

struct WriteOptions {
    bool prettyPrinted = false;  // two-space indentation, one member per line
    bool sortedKeys = true;      // dictionaries are sorted anyway; kept for callers that say so
    bool allowFragments = false;  // allow a top level that is not an array or dictionary
};

// Integers that fit int64 stay integers; larger unsigned ones and fractions become doubles.
Result<Value> read(std::string_view text, const ReadOptions& options = {});
Result<Value> read(const Bytes& data, const ReadOptions& options = {});

Result<std::string> write(const Value& value, const WriteOptions& options = {});
// Whether write() would succeed.
bool isValidJSONObject(const Value& value);

}  // namespace platform::json
