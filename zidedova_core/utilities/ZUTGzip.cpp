#include "zidedova_core/utilities/ZUTGzip.h"

#include <zlib.h>

#include <limits>

namespace zidedova {

using platform::Bytes;
using platform::Error;
using platform::Result;
using platform::Value;

namespace {

// 15 window bits, +16 writes a gzip wrapper, +32 detects gzip or zlib when reading.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kDetectWindowBits = 15 + 32;

Error zlibError(int status, const char* message) {
    Value info = Value::dictionary();
    info.set(kZUTNSDataZlibErrorKey, status);
    if (message && *message) info.set(platform::kLocalizedDescriptionKey, message);
    return Error(kZUTNSDataZlibErrorDomain, ZUTNSDataZlibErrorInternal, std::move(info));
}

bool tooLong(size_t size) { return size > std::numeric_limits<uInt>::max(); }

// A gzip member ends with its inflated length (mod 2^32). Believed, it sizes the output in one block that
// is cleared once and never copied; but it is outside data, so it is believed only up to 16 times the
// input, and a lie costs at most that. Past that, or without it (a zlib stream), the output starts at four
// times the input and doubles as the stream fills it: what is held follows what the stream really gives
// (up to deflate's 1032:1). A length below the truth only starts the output small; the stream then fails
// its length check. A stated 0 (a member of nothing) takes the fallback too: zlib writes to no empty buffer.
constexpr size_t kLargestBelievedRatio = 16;

size_t initialInflateCapacity(std::span<const uint8_t> data) {
    const size_t fallback = data.size() * 4;
    if (data.size() < 18 || data[0] != 0x1f || data[1] != 0x8b) return fallback;
    const uint8_t* t = data.data() + data.size() - 4;
    const size_t stated = size_t(t[0]) | size_t(t[1]) << 8 | size_t(t[2]) << 16 | size_t(t[3]) << 24;
    return stated > 0 && stated <= data.size() * kLargestBelievedRatio ? stated : fallback;
}

}  // namespace

Result<Bytes> ZUTDataByGzippingData(std::span<const uint8_t> data) {
    if (data.empty()) return Bytes{};
    if (tooLong(data.size())) return Error(kZUTNSDataZlibErrorDomain, ZUTNSDataZlibErrorGreaterThan32BitsToCompress);

    z_stream stream{};
    int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) return zlibError(status, stream.msg);

    // deflateBound is the worst case for the whole input, so one call with Z_FINISH is enough; the loop
    // only guards against a zlib that disagrees with its own bound.
    Bytes out(deflateBound(&stream, uLong(data.size())));
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = uInt(data.size());
    size_t produced = 0;
    do {
        if (produced == out.size()) out.resize(out.size() * 2);
        stream.next_out = out.data() + produced;
        stream.avail_out = uInt(std::min<size_t>(out.size() - produced, std::numeric_limits<uInt>::max()));
        const uInt before = stream.avail_out;
        status = deflate(&stream, Z_FINISH);
        produced += before - stream.avail_out;
    } while (status == Z_OK || (status == Z_BUF_ERROR && produced == out.size()));
    Error error = zlibError(status, nullptr);
    deflateEnd(&stream);
    if (status != Z_STREAM_END) return error;
    out.resize(produced);
    return out;
}

Result<Bytes> ZUTDataByInflatingGzippedData(std::span<const uint8_t> data) {
    if (data.empty()) return Bytes{};
    if (tooLong(data.size())) return Error(kZUTNSDataZlibErrorDomain, ZUTNSDataZlibErrorGreaterThan32BitsToCompress);

    z_stream stream{};
    int status = inflateInit2(&stream, kDetectWindowBits);
    if (status != Z_OK) return zlibError(status, stream.msg);

    Bytes out(initialInflateCapacity(data));
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = uInt(data.size());
    size_t produced = 0;
    for (;;) {
        if (produced == out.size()) out.resize(out.size() * 2);
        stream.next_out = out.data() + produced;
        stream.avail_out = uInt(std::min<size_t>(out.size() - produced, std::numeric_limits<uInt>::max()));
        const uInt before = stream.avail_out;
        status = inflate(&stream, Z_NO_FLUSH);
        produced += before - stream.avail_out;
        if (status == Z_STREAM_END) break;
        // Z_OK with all input read and room left means the stream stopped short: a truncated member.
        if (status == Z_OK && stream.avail_in == 0 && stream.avail_out > 0) status = Z_BUF_ERROR;
        if (status == Z_BUF_ERROR && stream.avail_out == 0) continue;  // only needed more room
        if (status != Z_OK) {
            Error error = zlibError(status, stream.msg);
            inflateEnd(&stream);
            return error;
        }
    }
    const uInt remaining = stream.avail_in;
    inflateEnd(&stream);
    if (remaining > 0) {
        Value info = Value::dictionary();
        info.set(kZUTNSDataZlibRemainingBytesKey, int64_t(remaining));
        return Error(kZUTNSDataZlibErrorDomain, ZUTNSDataZlibErrorDataRemaining, std::move(info));
    }
    out.resize(produced);
    return out;
}

}  // namespace zidedova
