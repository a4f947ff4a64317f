#pragma once
// TimerScheduler (internal to dispatch): hands blocks to non-main queues when the shared Clock reaches
// their deadline. One thread waits for the earliest deadline (real clock) or for a clock advance
// (manual clock); a manual advance hands over every due block, in deadline order, before it returns.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "platform/dispatch/DispatchQueue.h"

namespace platform::dispatch::detail {

class TimerScheduler {
public:
    static TimerScheduler& shared();

    // Submits block to queue at clockTime, then every interval seconds when interval > 0, until
    // *cancelled becomes true (checked at each deadline).
    void schedule(double clockTime, DispatchQueue queue, std::function<void()> block, double interval = 0,
                  std::shared_ptr<std::atomic<bool>> cancelled = nullptr);

    void fireDue();
    // The earliest deadline of a one-shot block not cancelled and not handed over yet, of those scheduled
    // at most `setWithin` seconds ahead.
    std::optional<double> nextOneShotDeadline(double setWithin) const;

private:
    TimerScheduler();
    struct State;
    State& state_;
    static void threadLoop(TimerScheduler* self);
};

}  // namespace platform::dispatch::detail
