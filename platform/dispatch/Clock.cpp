#include "platform/dispatch/Clock.h"

#include <chrono>
#include <map>

namespace platform::dispatch {

namespace {

struct ClockState {
    Mutex mutex;
    std::shared_ptr<Clock> clock GUARDED_BY(mutex) = std::make_shared<RealClock>();
    std::map<int, std::function<void()>> listeners GUARDED_BY(mutex);
    int nextListener GUARDED_BY(mutex) = 1;
};

ClockState& state() {
    static ClockState* s = new ClockState;  // never destroyed: read by pool threads during exit
    return *s;
}

}  // namespace

std::shared_ptr<Clock> Clock::shared() {
    MutexLock lock(state().mutex);
    return state().clock;
}

void Clock::setShared(std::shared_ptr<Clock> clock) {
    {
        MutexLock lock(state().mutex);
        state().clock = clock ? std::move(clock) : std::make_shared<RealClock>();
    }
    notifyAdvanced();
}

int Clock::addAdvanceListener(std::function<void()> listener) {
    MutexLock lock(state().mutex);
    int id = state().nextListener++;
    state().listeners[id] = std::move(listener);
    return id;
}

void Clock::notifyAdvanced() {
    std::map<int, std::function<void()>> listeners;
    {
        MutexLock lock(state().mutex);
        listeners = state().listeners;
    }
    for (auto& [id, listener] : listeners) listener();
}

double RealClock::now() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double ManualClock::now() const {
    MutexLock lock(mutex_);
    return now_;
}

void ManualClock::advance(double seconds) {
    if (!(seconds > 0)) return;
    {
        MutexLock lock(mutex_);
        now_ += seconds;
    }
    Clock::notifyAdvanced();
}

void ManualClock::setNow(double t) {
    {
        MutexLock lock(mutex_);
        if (!(t > now_)) return;
        now_ = t;
    }
    Clock::notifyAdvanced();
}

ScopedClock::ScopedClock(std::shared_ptr<Clock> clock) : previous_(Clock::shared()) {
    Clock::setShared(std::move(clock));
}

ScopedClock::~ScopedClock() { Clock::setShared(std::move(previous_)); }

}  // namespace platform::dispatch
