#pragma once
// Internal: the one ordered way from a session's engines to its delegate queue. Blocks run there one
// after another, in the order they were posted, whichever engine posted them: one drain at a time
// takes them out, and its owner (the session's engines) schedules it on the queue.
#include <chrono>
#include <functional>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"

namespace platform::urlsession_detail {

class DelegateMailbox {
public:
    // Adds `block`. Answers whether a drain is now needed: with `claim`, the caller then owns it and
    // schedules it; without (an engine in the middle of its loop turn), it claims one later, once for
    // the turn's blocks, with claimDrain.
    bool post(std::function<void()> block, bool claim) EXCLUDES(mutex_);
    // True when blocks wait and no drain runs: the caller then owns the drain and schedules it.
    bool claimDrain() EXCLUDES(mutex_);
    // The drain, on the delegate queue: runs blocks (a batch at a time, one lock for many) until none
    // is left, when the drain ends (false), or its turn is up (true: the owner schedules the rest).
    bool drain() EXCLUDES(mutex_);

private:
    dispatch::Mutex mutex_;
    std::vector<std::function<void()>> blocks_ GUARDED_BY(mutex_);
    // The drain's blocks in hand; only the one drain that runs touches them. It and blocks_ trade
    // places, so neither is allocated again once grown to the session's usual batch.
    std::vector<std::function<void()>> batch_;
    bool draining_ GUARDED_BY(mutex_) = false;
};

}  // namespace platform::urlsession_detail
