#include "platform/dispatch/internal/TimerScheduler.h"

#include <pthread.h>

#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch::detail {

namespace {
struct Entry {
    DispatchQueue queue;
    std::function<void()> block;
    double interval;
    std::shared_ptr<std::atomic<bool>> cancelled;
    double scheduledAt;  // the shared clock's time when it was scheduled
};
}  // namespace

struct TimerScheduler::State {
    Mutex mutex;
    ConditionVariable cv;
    std::multimap<std::pair<double, uint64_t>, Entry> entries GUARDED_BY(mutex);
    uint64_t nextSeq GUARDED_BY(mutex) = 0;
    uint64_t generation GUARDED_BY(mutex) = 0;
    bool threadStarted GUARDED_BY(mutex) = false;
};

TimerScheduler::TimerScheduler() : state_(*new State) {
    Clock::addAdvanceListener([this] { fireDue(); });
}

TimerScheduler& TimerScheduler::shared() {
    static TimerScheduler* s = new TimerScheduler;  // never destroyed: its thread runs until exit
    return *s;
}

void TimerScheduler::schedule(double clockTime, DispatchQueue queue, std::function<void()> block, double interval,
                              std::shared_ptr<std::atomic<bool>> cancelled) {
    bool start = false;
    const double now = Clock::shared()->now();
    {
        MutexLock lock(state_.mutex);
        state_.entries.emplace(
            std::pair{clockTime, state_.nextSeq++},
            Entry{std::move(queue), std::move(block), interval > 0 ? interval : 0, std::move(cancelled), now});
        ++state_.generation;
        if (!state_.threadStarted) start = state_.threadStarted = true;
    }
    if (start) std::thread(threadLoop, this).detach();
    state_.cv.notify_all();
}

void TimerScheduler::fireDue() {
    std::vector<std::pair<DispatchQueue, std::function<void()>>> due;
    {
        MutexLock lock(state_.mutex);
        auto clock = Clock::shared();
        double now = clock->now();
        while (!state_.entries.empty() && state_.entries.begin()->first.first <= now) {
            auto node = state_.entries.extract(state_.entries.begin());
            Entry& e = node.mapped();
            if (e.cancelled && e.cancelled->load()) continue;
            if (e.interval > 0) {
                due.emplace_back(e.queue, e.block);
                double next = node.key().first + e.interval;
                // A real clock that fell far behind fires once, not once per missed interval.
                if (!clock->isManual() && next <= now) next = now + e.interval;
                node.key() = {next, state_.nextSeq++};
                state_.entries.insert(std::move(node));
            } else {
                due.emplace_back(std::move(e.queue), std::move(e.block));
            }
        }
        ++state_.generation;
    }
    state_.cv.notify_all();
    for (auto& [queue, block] : due) queue.async(std::move(block));
}

std::optional<double> TimerScheduler::nextOneShotDeadline(double setWithin) const {
    MutexLock lock(state_.mutex);
    for (const auto& [key, entry] : state_.entries)
        if (entry.interval == 0 && !(entry.cancelled && entry.cancelled->load()) &&
            key.first - entry.scheduledAt <= setWithin)
            return key.first;
    return std::nullopt;
}

void TimerScheduler::threadLoop(TimerScheduler* self) {
    pthread_setname_np(pthread_self(), "dispatch-timers");  // not its starter's name
    using namespace std::chrono;
    State& s = self->state_;
    for (;;) {
        {
            MutexLock lock(s.mutex);
            uint64_t generation = s.generation;
            auto clock = Clock::shared();
            auto woken = [&]() REQUIRES(s.mutex) { return s.generation != generation; };
            if (s.entries.empty() || clock->isManual()) {
                s.cv.wait(s.mutex, woken);
            } else {
                double wait = s.entries.begin()->first.first - clock->now();
                if (wait > 0) s.cv.wait_for(s.mutex, duration<double>(wait), woken);
            }
        }
        self->fireDue();
    }
}

}  // namespace platform::dispatch::detail
