#pragma once
// Internal: the curl multi engine behind a URLSession. One thread per session owns the multi handle and
// every Transfer; other threads reach it only through post(). Deliveries to the delegate queue go
// through one ordered mailbox, so callbacks keep their order whatever queue the session was given.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/urlsession/URLSession.h"

typedef void CURLM;

namespace platform::urlsession_detail {

class Transfer;
class StreamConnections;

// Leaves the in-flight count when a completion block is done with, even if a callback in it threw.
class InFlightScope {
public:
    explicit InFlightScope(std::shared_ptr<URLSessionTask> task) : task_(std::move(task)) {}
    ~InFlightScope() {
        if (task_) task_->leaveInFlight();
    }
    InFlightScope(const InFlightScope&) = delete;
    InFlightScope& operator=(const InFlightScope&) = delete;

private:
    std::shared_ptr<URLSessionTask> task_;
};

class Engine : public std::enable_shared_from_this<Engine> {
public:
    Engine(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
           dispatch::OperationQueue queue);
    ~Engine();
    void start();
    // Stops the thread; joins unless called on the engine thread itself.
    void shutdown();

    // Runs `command` on the engine thread (in order).
    void post(std::function<void()> command);
    // Runs `block` on the delegate queue, after every block delivered before it. Blocks delivered on
    // the engine thread go out when its loop turn ends; one the engine thread then waits for needs
    // flushDeliveries() first.
    void deliver(std::function<void()> block);
    void flushDeliveries();
    bool onEngineThread() const { return std::this_thread::get_id() == threadId_.load(); }

    // Task registry (any thread).
    uint64_t nextIdentifier() { return nextId_.fetch_add(1); }
    void registerTask(const std::shared_ptr<URLSessionTask>& task);
    std::vector<std::shared_ptr<URLSessionTask>> liveTasks();

    // A task's first transfer made on the resuming thread when it can be (see Transfer.cpp); null
    // otherwise. installPrepared (engine thread) starts it.
    std::unique_ptr<Transfer> prepareStart(const std::shared_ptr<URLSessionTask>& task);
    void installPrepared(std::unique_ptr<Transfer> transfer);

    // Engine-thread operations behind the task API.
    void startTask(std::shared_ptr<URLSessionTask> task);
    void suspendTask(const std::shared_ptr<URLSessionTask>& task);
    void resumeTask(const std::shared_ptr<URLSessionTask>& task);
    void cancelTask(const std::shared_ptr<URLSessionTask>& task, std::function<void(std::optional<Bytes>)> resumeData);

    // Per-task extras set by the session when the task is made (engine thread reads them at start).
    struct TaskExtras {
        std::optional<Bytes> uploadData{};
        std::optional<std::string> uploadFile{};
        bool streamedUpload = false;
        DataTaskCompletion dataCompletion{};
        DownloadTaskCompletion downloadCompletion{};
        std::optional<Bytes> resumeData{};
    };
    void setExtras(uint64_t taskId, TaskExtras extras);
    TaskExtras extrasFor(uint64_t taskId) const;

    void invalidate(bool cancelTasks);
    bool isInvalidated() const { return invalidated_.load(); }

    // Ends a task that has no transfer (never started, refused, or a stream task) with `error`, none
    // meaning success.
    void completeWithoutTransfer(const std::shared_ptr<URLSessionTask>& task, std::optional<Error> error);

    const URLSessionConfiguration& configuration() const { return config_; }
    void setSession(std::weak_ptr<URLSession> s) { weakSession_ = std::move(s); }
    std::shared_ptr<URLSession> sessionRef() const;
    std::shared_ptr<URLSessionDelegate> delegate() const;
    void clearDelegate();

    // Used by transfers (engine thread).
    CURLM* multi() const { return multi_; }
    // The task's transfer has ended: the task leaves the registry and its transfer is handed to the
    // caller (null when the engine did not hold it).
    std::unique_ptr<Transfer> release(uint64_t taskId);
    // The transfer of a task, or null once it has ended (engine thread).
    Transfer* transferFor(uint64_t taskId) const {
        auto it = transfers_.find(taskId);
        return it == transfers_.end() ? nullptr : it->second.get();
    }
    // A transfer goes on under another task (a data task that became a download task).
    void moveTransfer(uint64_t fromTaskId, uint64_t toTaskId);
    // The session stays alive while transfers or stream connections run (see "Lifetime" in URLSession.h).
    void holdSession();
    // The stream tasks' connections (engine thread).
    StreamConnections& streams() { return *streams_; }

private:
    void run();
    void runCommands();
    void dropCommands();
    void abandonTasks();
    void readInfo();
    void checkTimeouts();
    void maybeFinishInvalidation();
    void deliverBackgroundEventsFinished();
    void drainMailbox();
    void scheduleDrain();
    void beginTransfer(std::shared_ptr<URLSessionTask> task, TaskExtras extras);

    // The owner. Held weakly: the engine thread may outlive it by a moment when it drops the last reference.
    std::weak_ptr<URLSession> weakSession_;
    const URLSessionConfiguration config_;
    dispatch::OperationQueue queue_;
    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> nextId_{1};
    std::atomic<bool> invalidated_{false};
    bool invalidationDelivered_ = false;

    std::mutex commandMutex_;
    std::deque<std::function<void()>> commands_;

    std::mutex mailboxMutex_;
    std::deque<std::function<void()>> mailbox_;
    bool draining_ = false;
    bool drainWanted_ = false;  // a block came from the engine thread; schedule at the end of the turn

    mutable std::mutex registryMutex_;
    std::map<uint64_t, std::weak_ptr<URLSessionTask>> tasks_;
    std::map<uint64_t, TaskExtras> extras_;
    // Apart from the registry: the engine reads the delegate for every callback, while the threads
    // that make tasks write the registry.
    mutable std::mutex delegateMutex_;
    std::shared_ptr<URLSessionDelegate> delegate_;

    std::shared_ptr<URLSession> keepAlive_;
    std::unique_ptr<StreamConnections> streams_;

    // Engine thread only.
    std::map<uint64_t, std::unique_ptr<Transfer>> transfers_;
    std::chrono::steady_clock::time_point nextTimeoutCheck_{};
};

}  // namespace platform::urlsession_detail
