#include "demo/ServerScript.h"

#include <zlib.h>

#include <stdexcept>

namespace tesmar_demo {

void Gate::open() {
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    changed_.notify_all();
}

bool Gate::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool Gate::wait(std::chrono::milliseconds timeout, const std::function<bool()>& cancelled) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return open_ || (cancelled && cancelled()); });
    return open_;
}

void Gate::interrupt() const {
    // Taking the lock orders the caller's state change before the waiter's re-check.
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
}

uint8_t patternByte(uint64_t offset) {
    uint64_t x = offset * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<uint8_t>(x >> 24);
}

void fillPattern(uint64_t offset, char* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>(patternByte(offset + i));
}

Reply Reply::text(std::string body, int status, const std::string& contentType) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    r.headers.emplace_back("Content-Type", contentType);
    return r;
}

Reply Reply::json(std::string body, int status) { return text(std::move(body), status, "application/json"); }

Reply Reply::withStatus(int status) {
    Reply r;
    r.status = status;
    return r;
}

Reply Reply::redirect(const std::string& location, int status) {
    Reply r;
    r.status = status;
    r.headers.emplace_back("Location", location);
    return r;
}

Reply Reply::drop() {
    Reply r;
    r.dropConnection = true;
    return r;
}

Reply Reply::streamed(uint64_t length, bool sendContentLength) {
    Reply r;
    r.headers.emplace_back("Content-Type", "application/octet-stream");
    StreamedBody s;
    s.length = length;
    s.sendContentLength = sendContentLength;
    r.stream = std::move(s);
    return r;
}

Reply Reply::dynamic(std::function<void(const RecordedRequest&, Reply&)> generate) {
    Reply r;
    r.generate = std::move(generate);
    return r;
}

Reply& Reply::header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

Reply& Reply::after(std::chrono::milliseconds d) {
    delay = d;
    return *this;
}

Reply& Reply::heldBy(std::shared_ptr<Gate> gate) {
    hold = std::move(gate);
    return *this;
}

Reply& Reply::gzipped() {
    gzip = true;
    return *this;
}

Reply& Reply::withRanges() {
    acceptRanges = true;
    return *this;
}

std::optional<std::string> Reply::headerValue(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (headerNamesEqual(key, name)) return value;
    }
    return std::nullopt;
}

std::string gzipCompress(const std::string& data) {
    z_stream zs{};
    // 16 + MAX_WBITS: a gzip wrapper rather than zlib's.
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&zs, data.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("gzip compression failed");
    return out;
}

std::optional<std::string> gzipDecompress(const std::string& data) {
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buffer[16384];
    int rc = Z_OK;
    while (rc == Z_OK) {
        zs.next_out = reinterpret_cast<Bytef*>(buffer);
        zs.avail_out = sizeof buffer;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_OK || rc == Z_STREAM_END) out.append(buffer, sizeof buffer - zs.avail_out);
        if (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0) break;  // truncated input
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

}  // namespace tesmar_demo
