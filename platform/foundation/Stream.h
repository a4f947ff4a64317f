#pragma once
// Streams of bytes: InputStream over bytes in memory or a file, OutputStream to memory or a file.
//
// A stream is not synchronised: one thread at a time uses it (a session may hand it to its own thread,
// but never to two at once). Shared through shared_ptr because sessions keep the stream a task was
// given and hand the same stream back when asked for a new body.
//
// Failures never look like success: read() answers -1 and write() -1, the status becomes Error and
// streamError() says why (kPOSIXErrorDomain with errno). A file write that cannot write every byte
// (disk full) is such a failure, not a short count.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

// propertyForKey(): the bytes written so far by a memory OutputStream, as data.
inline constexpr const char* kStreamDataWrittenToMemoryStreamKey = "NSStreamDataWrittenToMemoryStreamKey";
// propertyForKey(): the byte offset in a file stream, as an integer.
inline constexpr const char* kStreamFileCurrentOffsetKey = "NSStreamFileCurrentOffsetKey";

enum class StreamStatus { NotOpen, Opening, Open, Reading, Writing, AtEnd, Closed, Error };

class Stream {
public:
    virtual ~Stream() = default;
    // Opens the stream; a file that cannot be opened leaves the status Error.
    virtual void open() = 0;
    virtual void close() = 0;
    StreamStatus streamStatus() const { return status_; }
    std::optional<Error> streamError() const { return error_; }
    // nullopt for keys the stream does not know.
    virtual std::optional<Value> propertyForKey(std::string_view key) const { return std::nullopt; }

protected:
    void fail(int err, const std::string& path = {});
    StreamStatus status_ = StreamStatus::NotOpen;
    std::optional<Error> error_;
};

class InputStream : public Stream {
public:
    static std::shared_ptr<InputStream> withData(Bytes data);
    static std::shared_ptr<InputStream> withFileAtPath(std::string path);

    // Up to `maxLength` bytes into `buffer`: the count read, 0 at the end, -1 on error (also when the
    // stream is not open).
    virtual ssize_t read(uint8_t* buffer, size_t maxLength) = 0;
    // True while open and not known to be at the end (a read may still answer 0 for a file).
    virtual bool hasBytesAvailable() const = 0;
};

class OutputStream : public Stream {
public:
    static std::shared_ptr<OutputStream> toMemory();
    // Truncates the file unless `append`. The file is made with mode 0644 when missing.
    static std::shared_ptr<OutputStream> toFileAtPath(std::string path, bool append);

    // Writes all `length` bytes: answers `length`, or -1 on error (also when the stream is not open).
    virtual ssize_t write(const uint8_t* buffer, size_t length) = 0;
    virtual bool hasSpaceAvailable() const = 0;
};

}  // namespace platform
