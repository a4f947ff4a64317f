#pragma once
// OperationQueue: runs operations with a bounded number at a time, in the order they were added.
//
// A handle (copies share one queue). Operations run on the underlying DispatchQueue when one is set,
// on the main loop for OperationQueue::main(), otherwise on the global queue of the queue's quality of
// service. maxConcurrentOperationCount 1 makes the queue serial; the default (-1) lets operations run
// side by side. A suspended queue starts nothing new (running operations go on); resuming starts what
// waits. cancelAllOperations drops operations that have not started (they never run) and marks running
// ones cancelled. An operation that throws is caught and logged; the queue goes on.
// Every member is thread-safe. Waiting is bounded in real time when a timeout is given.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"

namespace platform::dispatch {

class Operation {
public:
    explicit Operation(std::function<void()> block) : block_(std::move(block)) {}
    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_.load(); }
    bool isExecuting() const { return executing_.load(); }
    bool isFinished() const { return finished_.load(); }

private:
    friend class OperationQueue;
    std::function<void()> block_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> added_{false};  // an operation belongs to one queue, once
};

class OperationQueue {
public:
    static constexpr int kDefaultMaxConcurrentOperationCount = -1;

    OperationQueue();
    // The queue that runs its operations on the main loop.
    static OperationQueue main();
    // The queue whose operation the calling thread runs; main() on the main thread outside any other.
    static std::optional<OperationQueue> currentQueue();

    std::string name() const;
    void setName(std::string name);
    void setMaxConcurrentOperationCount(int count);  // 0 and below other than -1 are taken as 1
    bool isSuspended() const;
    void setSuspended(bool suspended);
    QualityOfService qualityOfService() const;
    void setQualityOfService(QualityOfService qos);
    void setUnderlyingQueue(std::optional<DispatchQueue> queue);

    std::shared_ptr<Operation> addOperation(std::function<void()> block);
    // An operation already added (here or to another queue) is ignored: it runs at most once.
    void addOperation(std::shared_ptr<Operation> operation);
    void cancelAllOperations();
    // Operations waiting or running.
    size_t operationCount() const;
    // Blocks until no operation waits or runs. A suspended queue with waiting operations never empties:
    // give a timeout (real seconds) to bound the wait; returns false when it ran out.
    bool waitUntilAllOperationsAreFinished(std::optional<double> timeoutSeconds = std::nullopt);

    bool operator==(const OperationQueue& other) const { return state_ == other.state_; }

    struct State;

private:
    explicit OperationQueue(std::shared_ptr<State> state) : state_(std::move(state)) {}
    // Starts what may start on the target queue; a worker then runs the queue's next ready operations
    // itself, a bounded number, before it gives the thread back.
    static void pump(const std::shared_ptr<State>& state);
    static void runOperation(const std::shared_ptr<State>& state, const std::shared_ptr<Operation>& op);
    std::shared_ptr<State> state_;
};

}  // namespace platform::dispatch
