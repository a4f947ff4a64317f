#pragma once
// Single byte-range requests ("Range: bytes=first-last", "bytes=first-", "bytes=-suffix") against a
// body of known length, as the local server answers them.
#include <cstdint>
#include <string>

namespace tesmar_demo {

struct ByteRangeAnswer {
    enum class Kind {
        Whole,          // serve the whole body (no range, a range we don't serve, or bad syntax)
        Partial,        // 206: bytes [first, last]
        Unsatisfiable,  // 416: the range starts past the end
    };
    Kind kind = Kind::Whole;
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive

    uint64_t length() const { return last - first + 1; }
    // "bytes first-last/total"
    std::string contentRange(uint64_t total) const;
};

// Interprets a Range header value for a body of `total` bytes. Several ranges are answered with the
// whole body (which a server may always do); so is anything that does not parse.
ByteRangeAnswer answerRange(const std::string& rangeHeader, uint64_t total);

}  // namespace tesmar_demo
