#include "platform/urlsession/internal/SocketStreams.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::urlsession_detail {

namespace {

struct Socket {
    explicit Socket(int f) : fd(f) {}
    ~Socket() { ::close(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    const int fd;
};

bool isOpenForIO(StreamStatus s) {
    return s == StreamStatus::Open || s == StreamStatus::Reading || s == StreamStatus::Writing;
}

class SocketInputStream final : public InputStream {
public:
    SocketInputStream(std::shared_ptr<Socket> socket, Bytes pending, bool ended)
        : socket_(std::move(socket)), pending_(std::move(pending)), ended_(ended) {}
    void open() override {
        if (status_ == StreamStatus::NotOpen) status_ = StreamStatus::Open;
    }
    void close() override {
        if (status_ == StreamStatus::Error || status_ == StreamStatus::Closed) return;
        ::shutdown(socket_->fd, SHUT_RD);
        status_ = StreamStatus::Closed;
    }
    ssize_t read(uint8_t* buffer, size_t maxLength) override {
        if (status_ == StreamStatus::AtEnd) return 0;
        if (!isOpenForIO(status_) || (!buffer && maxLength > 0)) return -1;
        if (maxLength == 0) return 0;
        if (offset_ < pending_.size()) {
            size_t n = std::min(maxLength, pending_.size() - offset_);
            std::memcpy(buffer, pending_.data() + offset_, n);
            offset_ += n;
            return ssize_t(n);
        }
        if (ended_) {
            status_ = StreamStatus::AtEnd;
            return 0;
        }
        for (;;) {
            ssize_t n = ::recv(socket_->fd, buffer, maxLength, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                fail(errno);
                return -1;
            }
            if (n == 0) status_ = StreamStatus::AtEnd;
            return n;
        }
    }
    bool hasBytesAvailable() const override { return isOpenForIO(status_); }

private:
    std::shared_ptr<Socket> socket_;
    Bytes pending_;
    size_t offset_ = 0;
    bool ended_;
};

class SocketOutputStream final : public OutputStream {
public:
    SocketOutputStream(std::shared_ptr<Socket> socket, bool ended) : socket_(std::move(socket)), ended_(ended) {}
    void open() override {
        if (status_ != StreamStatus::NotOpen) return;
        if (ended_) return fail(EPIPE);
        status_ = StreamStatus::Open;
    }
    void close() override {
        if (status_ == StreamStatus::Error || status_ == StreamStatus::Closed) return;
        ::shutdown(socket_->fd, SHUT_WR);
        status_ = StreamStatus::Closed;
    }
    ssize_t write(const uint8_t* buffer, size_t length) override {
        if (!isOpenForIO(status_) || (!buffer && length > 0)) return -1;
        size_t done = 0;
        while (done < length) {
            ssize_t n = ::send(socket_->fd, buffer + done, length - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                // What went out cannot be taken back: the stream fails rather than answer a short count.
                fail(n < 0 ? errno : EIO);
                return -1;
            }
            done += size_t(n);
        }
        return ssize_t(length);
    }
    bool hasSpaceAvailable() const override { return isOpenForIO(status_); }

private:
    std::shared_ptr<Socket> socket_;
    bool ended_;
};

}  // namespace

SocketStreamPair makeSocketStreams(int fd, Bytes pending, bool readEnded, bool writeEnded) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    auto socket = std::make_shared<Socket>(fd);
    return {std::make_shared<SocketInputStream>(socket, std::move(pending), readEnded),
            std::make_shared<SocketOutputStream>(socket, writeEnded)};
}

}  // namespace platform::urlsession_detail
