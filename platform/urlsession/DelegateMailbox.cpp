#include "platform/urlsession/internal/DelegateMailbox.h"

#include <iterator>

#include "platform/dispatch/DispatchQueue.h"

namespace platform::urlsession_detail {

namespace {
// How long one delegate-queue operation runs mailbox blocks: long enough that a busy session wakes its
// queue once for many callbacks, short enough that it does not hog a main-loop turn.
constexpr auto kDrainTurn = std::chrono::milliseconds(2);
}  // namespace

bool DelegateMailbox::post(std::function<void()> block, bool claim) {
    dispatch::MutexLock lock(mutex_);
    blocks_.push_back(std::move(block));
    if (draining_) return false;
    if (claim) draining_ = true;
    return true;
}

bool DelegateMailbox::claimDrain() {
    dispatch::MutexLock lock(mutex_);
    if (draining_ || blocks_.empty()) return false;
    draining_ = true;
    return true;
}

bool DelegateMailbox::drain() {
    const auto deadline = std::chrono::steady_clock::now() + kDrainTurn;
    for (;;) {
        {
            dispatch::MutexLock lock(mutex_);
            if (blocks_.empty()) {
                draining_ = false;
                return false;
            }
            batch_.swap(blocks_);
        }
        for (size_t next = 0; next < batch_.size();) {
            dispatch::detail::runGuarded("URLSession delegate queue", batch_[next]);
            batch_[next++] = nullptr;  // what it holds goes now, as the block is done
            if (next < batch_.size() && std::chrono::steady_clock::now() >= deadline) {
                // Out of time: what was taken goes back in front of what came meanwhile.
                dispatch::MutexLock lock(mutex_);
                blocks_.insert(blocks_.begin(), std::make_move_iterator(batch_.begin() + ptrdiff_t(next)),
                               std::make_move_iterator(batch_.end()));
                break;
            }
        }
        batch_.clear();
        if (std::chrono::steady_clock::now() >= deadline) return true;
    }
}

}  // namespace platform::urlsession_detail
