#pragma once
// Progress: how many units (bytes) of a transfer are done out of how many. Written by the task
// delegates on the session's delegate queue, read by progress handlers on their own queues; every
// member is thread-safe. A total of -1 (kURLSessionTransferSizeUnknown) means unknown.
#include <atomic>
#include <cstdint>

namespace rivulet {

class Progress {
public:
    explicit Progress(int64_t totalUnitCount = 0) : total_(totalUnitCount) {}

    int64_t totalUnitCount() const { return total_.load(); }
    void setTotalUnitCount(int64_t n) { total_.store(n); }
    int64_t completedUnitCount() const { return completed_.load(); }
    void setCompletedUnitCount(int64_t n) { completed_.store(n); }
    // 0 while the total is unknown or 0.
    double fractionCompleted() const {
        int64_t total = total_.load();
        return total > 0 ? double(completed_.load()) / double(total) : 0.0;
    }

private:
    std::atomic<int64_t> total_;
    std::atomic<int64_t> completed_{0};
};

}  // namespace rivulet
