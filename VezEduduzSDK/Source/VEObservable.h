#pragma once
// Observer lists of the push client's states.
//
// VEObservable: the internal form. Observers are held strongly (the internal observer objects live only
// here) and told synchronously, on the notifying thread, while the list's lock is held; the lock is
// re-entrant, so an observer may notify the same list again.
//
// VEDeferredObservable: the application-facing form. Observers are held weakly (an observer that goes
// away drops out by itself) and each call is posted to the main loop, so application observers always
// run on the main thread, after the change that caused them.
//
// notifyChange answers whether at least one observer was reached. Any thread may use either list.
#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"

namespace vezeduduz {

template <class Observer, class State>
class VEObservable {
public:
    void addObserver(std::shared_ptr<Observer> observer) {
        if (!observer) return;
        std::lock_guard lock(mutex_);
        if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
            observers_.push_back(std::move(observer));
    }
    void removeObserver(const Observer* observer) {
        std::lock_guard lock(mutex_);
        std::erase_if(observers_, [&](const auto& o) { return o.get() == observer; });
    }
    bool notifyChange(const State& state) {
        std::lock_guard lock(mutex_);
        auto copy = observers_;
        for (auto& observer : copy) observer->onChanged(state);
        return !copy.empty();
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return observers_.size();
    }

private:
    mutable std::recursive_mutex mutex_;  // re-entrant: an observer may notify again
    std::vector<std::shared_ptr<Observer>> observers_;
};

template <class Observer, class Changes>
class VEDeferredObservable {
public:
    using ChangeSelector = void (Observer::*)(std::shared_ptr<Changes>);
    explicit VEDeferredObservable(ChangeSelector changeSelector) : changeSelector_(changeSelector) {}

    void addObserver(const std::shared_ptr<Observer>& observer) {
        if (!observer) return;
        platform::dispatch::MutexLock lock(mutex_);
        prune();
        for (auto& o : observers_)
            if (o.lock() == observer) return;
        observers_.push_back(observer);
    }
    void removeObserver(const Observer* observer) {
        platform::dispatch::MutexLock lock(mutex_);
        std::erase_if(observers_, [&](const auto& o) {
            auto strong = o.lock();
            return !strong || strong.get() == observer;
        });
    }
    bool notifyChange(std::shared_ptr<Changes> changes) {
        platform::dispatch::MutexLock lock(mutex_);
        prune();
        bool reached = false;
        for (auto& weak : observers_) {
            reached = true;
            platform::dispatch::MainLoop::shared().post([weak, changes, selector = changeSelector_] {
                if (auto observer = weak.lock()) ((*observer).*selector)(changes);
            });
        }
        return reached;
    }
    size_t count() const {
        platform::dispatch::MutexLock lock(mutex_);
        size_t n = 0;
        for (auto& o : observers_) n += o.expired() ? 0 : 1;
        return n;
    }

private:
    void prune() REQUIRES(mutex_) {
        std::erase_if(observers_, [](const auto& o) { return o.expired(); });
    }
    mutable platform::dispatch::Mutex mutex_;
    std::vector<std::weak_ptr<Observer>> observers_ GUARDED_BY(mutex_);
    ChangeSelector changeSelector_;
};

}  // namespace vezeduduz
