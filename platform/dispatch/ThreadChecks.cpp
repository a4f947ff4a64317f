#include "platform/dispatch/ThreadChecks.h"

#include <cstdio>
#include <cstdlib>

namespace platform::dispatch {

#ifndef NDEBUG
void ThreadChecker::assertOnThread() const {
    const auto here = std::this_thread::get_id();
    auto bound = bound_.load(std::memory_order_acquire);
    if (bound == here) return;
    // Unbound: the first thread to check owns the state from now on.
    if (bound == std::thread::id() && bound_.compare_exchange_strong(bound, here, std::memory_order_acq_rel)) return;
    if (bound == here) return;
    std::fprintf(stderr, "thread check failed: %s is touched off its thread\n", name_);
    std::abort();
}
#endif

}  // namespace platform::dispatch
