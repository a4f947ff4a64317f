#include "platform/foundation/Stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/internal/StandardDirectories.h"

namespace platform {

void Stream::fail(int err, const std::string& path) {
    Value info = Value::dictionary();
    info.set(kLocalizedDescriptionKey, std::string(std::strerror(err)));
    if (!path.empty()) info.set(kFilePathErrorKey, path);
    error_ = Error(kPOSIXErrorDomain, err, std::move(info));
    status_ = StreamStatus::Error;
}

namespace {

bool isOpenForIO(StreamStatus s) {
    return s == StreamStatus::Open || s == StreamStatus::Reading || s == StreamStatus::Writing;
}

class DataInputStream final : public InputStream {
public:
    explicit DataInputStream(Bytes data) : data_(std::move(data)) {}
    void open() override {
        if (status_ == StreamStatus::NotOpen) status_ = StreamStatus::Open;
    }
    void close() override {
        if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
    }
    ssize_t read(uint8_t* buffer, size_t maxLength) override {
        if (status_ == StreamStatus::AtEnd) return 0;
        if (!isOpenForIO(status_) || (!buffer && maxLength > 0)) return -1;
        size_t n = std::min(maxLength, data_.size() - offset_);
        if (n > 0) std::memcpy(buffer, data_.data() + offset_, n);
        offset_ += n;
        if (offset_ == data_.size()) status_ = StreamStatus::AtEnd;
        return ssize_t(n);
    }
    bool hasBytesAvailable() const override { return isOpenForIO(status_) && offset_ < data_.size(); }

private:
    Bytes data_;
    size_t offset_ = 0;
};

class FileInputStream final : public InputStream {
public:
    explicit FileInputStream(std::string path) : path_(std::move(path)) {}
    ~FileInputStream() override { closeFd(); }
    void open() override {
        if (status_ != StreamStatus::NotOpen) return;
        // Never waits: a FIFO, a socket or a device at the path is refused (ENXIO), as is a folder (EISDIR).
        auto handle = FileManager::defaultManager().openFile(path_, O_RDONLY);
        if (!handle) return fail(int(handle.error().userInfo[kUnderlyingErrorKey]["code"].integerOr(EIO)), path_);
        fd_ = handle->release();
        status_ = StreamStatus::Open;
    }
    void close() override {
        closeFd();
        if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
    }
    ssize_t read(uint8_t* buffer, size_t maxLength) override {
        if (status_ == StreamStatus::AtEnd) return 0;
        if (!isOpenForIO(status_) || (!buffer && maxLength > 0)) return -1;
        for (;;) {
            ssize_t n = ::read(fd_, buffer, maxLength);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                fail(errno, path_);
                return -1;
            }
            if (n == 0 && maxLength > 0) status_ = StreamStatus::AtEnd;
            offset_ += n;
            return n;
        }
    }
    bool hasBytesAvailable() const override { return isOpenForIO(status_); }
    std::optional<Value> propertyForKey(std::string_view key) const override {
        if (key == kStreamFileCurrentOffsetKey) return Value(int64_t(offset_));
        return std::nullopt;
    }

private:
    void closeFd() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::string path_;
    int fd_ = -1;
    uint64_t offset_ = 0;
};

class MemoryOutputStream final : public OutputStream {
public:
    void open() override {
        if (status_ == StreamStatus::NotOpen) status_ = StreamStatus::Open;
    }
    void close() override {
        if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
    }
    ssize_t write(const uint8_t* buffer, size_t length) override {
        if (!isOpenForIO(status_) || (!buffer && length > 0)) return -1;
        data_.insert(data_.end(), buffer, buffer + length);
        return ssize_t(length);
    }
    bool hasSpaceAvailable() const override { return isOpenForIO(status_); }
    std::optional<Value> propertyForKey(std::string_view key) const override {
        if (key == kStreamDataWrittenToMemoryStreamKey) return Value(data_);
        return std::nullopt;
    }

private:
    Bytes data_;
};

class FileOutputStream final : public OutputStream {
public:
    FileOutputStream(std::string path, bool append) : path_(std::move(path)), append_(append) {}
    ~FileOutputStream() override { closeFd(); }
    void open() override {
        if (status_ != StreamStatus::NotOpen) return;
        int flags = O_WRONLY | O_CREAT | (append_ ? O_APPEND : O_TRUNC);
        fd_ = detail::openMakingStandardDirectory(path_, flags, 0644);
        if (fd_ < 0) return fail(errno, path_);
        status_ = StreamStatus::Open;
    }
    void close() override {
        // close() can report a deferred write error (network file systems); it still ends the stream.
        if (fd_ >= 0 && ::close(fd_) != 0 && errno != EINTR && status_ != StreamStatus::Error) {
            fd_ = -1;
            return fail(errno, path_);
        }
        fd_ = -1;
        if (status_ != StreamStatus::Error) status_ = StreamStatus::Closed;
    }
    ssize_t write(const uint8_t* buffer, size_t length) override {
        if (!isOpenForIO(status_) || (!buffer && length > 0)) return -1;
        size_t done = 0;
        while (done < length) {
            ssize_t n = ::write(fd_, buffer + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // Bytes already written cannot be taken back; the stream is failed, not short.
                fail(n < 0 ? errno : EIO, path_);
                return -1;
            }
            done += size_t(n);
        }
        offset_ += done;
        return ssize_t(length);
    }
    bool hasSpaceAvailable() const override { return isOpenForIO(status_); }
    std::optional<Value> propertyForKey(std::string_view key) const override {
        if (key == kStreamFileCurrentOffsetKey) return Value(int64_t(offset_));
        return std::nullopt;
    }

private:
    void closeFd() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    std::string path_;
    bool append_;
    int fd_ = -1;
    uint64_t offset_ = 0;
};

}  // namespace

std::shared_ptr<InputStream> InputStream::withData(Bytes data) {
    return std::make_shared<DataInputStream>(std::move(data));
}

std::shared_ptr<InputStream> InputStream::withFileAtPath(std::string path) {
    if (path.empty()) return nullptr;
    return std::make_shared<FileInputStream>(std::move(path));
}

std::shared_ptr<OutputStream> OutputStream::toMemory() { return std::make_shared<MemoryOutputStream>(); }

std::shared_ptr<OutputStream> OutputStream::toFileAtPath(std::string path, bool append) {
    if (path.empty()) return nullptr;
    return std::make_shared<FileOutputStream>(std::move(path), append);
}

}  // namespace platform
