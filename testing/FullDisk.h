#pragma once
// A full disk without root: while one lives, this process (and every process it starts) may not make a
// file grow past `bytes` (RLIMIT_FSIZE), so writes of more fail with EFBIG as a full disk fails them with
// ENOSPC; SIGXFSZ is ignored, so the write fails instead of ending the process. Only the soft limit is
// lowered, so the space comes back when it goes (or at lift()). Main thread.
#include <sys/resource.h>

#include <csignal>

namespace tesmar_testing {

class FullDisk {
public:
    explicit FullDisk(rlim_t bytes = 0) : signal_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit tight = saved_;
        tight.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &tight);
    }
    ~FullDisk() { lift(); }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;

    void lift() {
        if (lifted_) return;
        lifted_ = true;
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, signal_);
    }

private:
    rlimit saved_{};
    void (*signal_)(int);
    bool lifted_ = false;
};

}  // namespace tesmar_testing
