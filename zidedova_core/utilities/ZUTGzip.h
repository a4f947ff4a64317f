#pragma once
// Gzip over zlib: compression into one gzip member, and inflation of a gzip or zlib stream (the header
// is detected). Pure functions, safe on any thread; nothing partial is ever returned with an error.
//
// An empty input gives an empty result and no error in both directions; callers decide what an empty
// payload means (the network utility sends an empty body).
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace zidedova {

inline constexpr const char* kZUTNSDataZlibErrorDomain = "com.vodezu.ZUTNSDataZlibErrorDomain";
// User info: zlib's status (integer) and the count of unread input bytes (integer).
inline constexpr const char* kZUTNSDataZlibErrorKey = "ZUTNSDataZlibErrorKey";
inline constexpr const char* kZUTNSDataZlibRemainingBytesKey = "ZUTNSDataZlibRemainingBytesKey";

enum ZUTNSDataZlibError : int64_t {
    // Input longer than zlib's 32-bit counters take.
    ZUTNSDataZlibErrorGreaterThan32BitsToCompress = 1024,
    // zlib failed at set-up or while running; a truncated stream lands here too.
    ZUTNSDataZlibErrorInternal = 1025,
    // The compressed stream ended before the input did (only the first member is read).
    ZUTNSDataZlibErrorDataRemaining = 1026,
};

// One gzip member (starts 1f 8b) at zlib's default level.
platform::Result<platform::Bytes> ZUTDataByGzippingData(std::span<const uint8_t> data);
// The first gzip or zlib member of `data`, which must be all of it.
platform::Result<platform::Bytes> ZUTDataByInflatingGzippedData(std::span<const uint8_t> data);

}  // namespace zidedova
