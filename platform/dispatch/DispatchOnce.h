#pragma once
// DispatchOnce: runs a block exactly once however many threads race to it; later callers wait for the
// first to finish. If the block throws, the exception reaches that caller and a later call tries again.
#include <mutex>
#include <utility>

namespace platform::dispatch {

class DispatchOnce {
public:
    template <class F>
    void operator()(F&& f) {
        std::call_once(flag_, std::forward<F>(f));
    }

private:
    std::once_flag flag_;
};

}  // namespace platform::dispatch
