#include "platform/foundation/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/foundation/internal/StandardDirectories.h"

namespace platform {

FileLock::FileLock(const std::string& lockPath) {
    if (lockPath.empty()) return;
    int fd = detail::openMakingStandardDirectory(lockPath, O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        error_ = errno;
        return;
    }
    int rc;
    do rc = ::flock(fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error_ = errno;
        ::close(fd);
        return;
    }
    fd_ = fd;
}

FileLock::FileLock(const std::string& lockPath, double waitSeconds) {
    if (lockPath.empty()) return;
    int fd = detail::openMakingStandardDirectory(lockPath, O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        error_ = errno;
        return;
    }
    // flock has no timeout of its own: ask again every 20 ms until the time is up.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return;
        }
        error_ = errno;
        if (error_ != EWOULDBLOCK && error_ != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            busy_ = error_ == EWOULDBLOCK;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
}

FileLock::~FileLock() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

}  // namespace platform
