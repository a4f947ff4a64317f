#pragma once
// The pieces of a local server's script: Reply (one scripted answer), StreamedBody (a large body made
// on the fly) and Gate (a latch a test opens to release answers it holds back).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "demo/RecordedRequest.h"

namespace tesmar_demo {

// A latch: answers held on it wait until its owner (usually a test) opens it. Opening is permanent. Thread-safe; share
// it through std::shared_ptr between the test and the scripts that use it.
class Gate {
public:
    static std::shared_ptr<Gate> make() { return std::make_shared<Gate>(); }

    void open();
    bool isOpen() const;
    // Waits until the gate opens, `cancelled()` turns true (checked whenever interrupt() is called)
    // or `timeout` passes. True when the gate is open.
    bool wait(std::chrono::milliseconds timeout, const std::function<bool()>& cancelled = nullptr) const;
    // Wakes waiters so they re-check their cancellation condition.
    void interrupt() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool open_ = false;
};

// The byte at `offset` of the default streamed body: a fixed, non-repeating-looking pattern, so a test
// can check any slice of a download (resumed ranges included) without keeping the body.
uint8_t patternByte(uint64_t offset);
void fillPattern(uint64_t offset, char* out, size_t count);

// A body made in chunks while it is sent, so a multi-gigabyte download never sits in memory.
struct StreamedBody {
    uint64_t length = 0;
    // Announce Content-Length; otherwise the body goes out with chunked transfer encoding.
    bool sendContentLength = true;
    size_t chunkSize = 64 * 1024;
    // Writes `count` bytes starting at `offset`; fillPattern when empty. Called on a server thread.
    std::function<void(uint64_t offset, char* out, size_t count)> fill;
    // Close the connection once this many bytes went out (a transfer cut short).
    std::optional<uint64_t> dropAfter;
    // Stop after `pauseAt` bytes until `pauseGate` opens (a stalled transfer). Both counts are bytes
    // of this answer (after a range's start).
    std::optional<uint64_t> pauseAt;
    std::shared_ptr<Gate> pauseGate;
};

// One scripted answer. Builders return *this so answers read as one line:
//   Reply::text("hello").header("Set-Cookie", "a=1").header("Set-Cookie", "b=2").after(20ms)
struct Reply {
    int status = 200;
    HeaderList headers;  // sent as given, in order; a name may repeat (several Set-Cookie)
    std::string body;
    // Called with the request just before answering; may change anything in the reply (dynamic
    // answers). Runs on a server thread; exceptions it throws become a 500.
    std::function<void(const RecordedRequest&, Reply&)> generate;
    std::chrono::milliseconds delay{0};  // real time spent before answering
    std::shared_ptr<Gate> hold;          // answer only once this gate opens
    bool dropConnection = false;         // close the connection without a byte of answer
    std::optional<StreamedBody> stream;  // replaces `body`
    bool gzip = false;                   // gzip `body` and say so in Content-Encoding
    // Answer "Range: bytes=..." (a single range) with 206 + Content-Range, 416 when unsatisfiable, and
    // advertise "Accept-Ranges: bytes". Applies to 200 answers; If-Range must match ETag or
    // Last-Modified. Ranges are over the bytes sent (after gzip). Multiple ranges get the whole body.
    bool acceptRanges = false;

    static Reply text(std::string body, int status = 200, const std::string& contentType = "text/plain; charset=utf-8");
    static Reply json(std::string body, int status = 200);
    static Reply withStatus(int status);
    static Reply redirect(const std::string& location, int status = 302);
    static Reply drop();
    static Reply streamed(uint64_t length, bool sendContentLength = true);
    static Reply dynamic(std::function<void(const RecordedRequest&, Reply&)> generate);

    Reply& header(std::string name, std::string value);  // appends
    Reply& after(std::chrono::milliseconds delay);
    Reply& heldBy(std::shared_ptr<Gate> gate);
    Reply& gzipped();
    Reply& withRanges();

    // First value of a header of this reply (case-insensitive), if any.
    std::optional<std::string> headerValue(const std::string& name) const;
};

// gzip (RFC 1952) of `data` through zlib; the inverse, for tests, answers nullopt on bad input.
std::string gzipCompress(const std::string& data);
std::optional<std::string> gzipDecompress(const std::string& data);

}  // namespace tesmar_demo
