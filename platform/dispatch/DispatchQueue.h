#pragma once
// DispatchQueue: a handle (cheap to copy, compared by identity) on a queue of blocks.
//
// - main(): blocks go to the MainLoop and run on the main thread.
// - DispatchQueue(label): a serial queue; blocks run one at a time in submission order on a worker
//   taken from the shared pool only while the queue has work (no thread of its own).
// - DispatchQueue(label, Attributes::Concurrent): blocks may run side by side; asyncBarrier blocks run
//   alone, after everything submitted before them and before everything submitted after.
// - global(qos): the process-wide concurrent queues. Quality of service is recorded, not prioritised;
//   barriers on them behave as plain async.
//
// Queued work keeps its queue alive; dropping the last handle never loses submitted blocks.
// A block that throws is caught at the queue boundary and logged to stderr (async, asyncAfter);
// sync rethrows the exception in its caller.
// sync onto the queue the caller is already running on (directly or through nested syncs) runs the
// block inline instead of deadlocking; sync onto main() from the main thread runs inline too.
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch {

namespace detail {
class CurrentQueueScope;
}

enum class QualityOfService { UserInteractive, UserInitiated, Default, Utility, Background, Unspecified };

// A serial queue is also the capability that names what it confines: state only its blocks touch is
// GUARDED_BY the queue, and a block says where it runs with assertCurrent().
class CAPABILITY("queue") DispatchQueue {
public:
    enum class Attributes { Serial, Concurrent };

    explicit DispatchQueue(std::string label, Attributes attributes = Attributes::Serial,
                           QualityOfService qos = QualityOfService::Unspecified);

    static DispatchQueue main();
    static DispatchQueue global(QualityOfService qos = QualityOfService::Default);

    const std::string& label() const;
    QualityOfService qualityOfService() const;
    bool isMain() const;
    bool isSerial() const;

    void async(std::function<void()> block) const;
    void asyncBarrier(std::function<void()> block) const;
    // Runs the block on this queue once the shared Clock has moved on by seconds (<= 0: now).
    void asyncAfter(double seconds, std::function<void()> block) const;
    // Runs the block on this queue and returns when it has finished (inline on the calling thread, with
    // the queue held for it). See the header note on re-entrant sync.
    void sync(const std::function<void()>& block) const;
    template <class F>
    auto syncResult(F&& f) const -> decltype(f()) {
        std::optional<decltype(f())> out;
        sync([&] { out.emplace(f()); });
        return std::move(*out);
    }

    // True when the calling thread is running a block of this queue (nested syncs included).
    bool isCurrent() const;
    // Aborts, in builds without NDEBUG, when the calling thread runs no block of this queue; compiles
    // away with NDEBUG. To the analysis the queue counts as held after it.
#ifdef NDEBUG
    void assertCurrent() const ASSERT_CAPABILITY(this) {}
#else
    void assertCurrent() const ASSERT_CAPABILITY(this);
#endif
    // The innermost queue the calling thread runs for, if any; "" / nullopt outside every queue.
    static std::optional<DispatchQueue> current();
    static std::string currentLabel();

    bool operator==(const DispatchQueue& other) const { return impl_ == other.impl_; }

    struct Impl;

private:
    explicit DispatchQueue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<Impl> impl_;
    friend class detail::CurrentQueueScope;
};

// Blocks given to queues other than main() with async or asyncBarrier (or handed over by asyncAfter) that
// have not finished yet, in the whole process: work something set off that is still to run. The host
// waits for it after each command. Any thread.
size_t queuedBlockCount();
// The earliest deadline, on the shared Clock, of an asyncAfter block still waiting to be handed to its
// queue, of those set at most `setWithin` seconds ahead (repeating timers left out: they are no one's single
// piece of work). Any thread.
std::optional<double> nextQueuedBlockDeadline(double setWithin = std::numeric_limits<double>::infinity());

namespace detail {
// Marks the calling thread as running a block of the queue for the scope (MainLoop uses it).
class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const DispatchQueue& queue);
    ~CurrentQueueScope();
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    std::shared_ptr<DispatchQueue::Impl> impl_;
};

// Runs a block, logging (not propagating) what it throws, with the queue label in the message.
void runGuarded(std::string_view where, const std::function<void()>& block);
// The same for a label that is looked up only if the block throws.
void runGuarded(const std::function<std::string()>& where, const std::function<void()>& block);
}  // namespace detail

}  // namespace platform::dispatch
