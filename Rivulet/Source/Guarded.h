#pragma once
// Guarded<T>: a value read and written from several threads (the session's delegate queue, response
// handler queues, the caller's thread), each access under its own small lock. Reads hand out copies,
// so a closure read from here is called with no lock held.
#include <utility>

#include "platform/dispatch/ThreadChecks.h"

namespace rivulet {

template <class T>
class Guarded {
public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    T get() const {
        platform::dispatch::MutexLock lock(mutex_);
        return value_;
    }
    void set(T value) {
        platform::dispatch::MutexLock lock(mutex_);
        value_ = std::move(value);
    }
    // Runs `f` on the value under the lock; keep it short and never call out of the library from it.
    template <class F>
    auto with(F&& f) const {
        platform::dispatch::MutexLock lock(mutex_);
        return f(value_);
    }
    template <class F>
    auto with(F&& f) {
        platform::dispatch::MutexLock lock(mutex_);
        return f(value_);
    }
    explicit operator bool() const {
        platform::dispatch::MutexLock lock(mutex_);
        return static_cast<bool>(value_);
    }

private:
    mutable platform::dispatch::Mutex mutex_;
    T value_ GUARDED_BY(mutex_){};
};

}  // namespace rivulet
