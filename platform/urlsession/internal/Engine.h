#pragma once
// Internal: the curl multi engines behind a URLSession. Each engine is one thread that owns a multi
// handle and the transfers it carries; other threads reach it only through post(). A session has one
// engine, or, when it may open many connections per host, up to one per core, each with its share of
// the connections, so that many small requests do not queue behind one thread's socket work. A task
// stays on the engine it was first given. What the engines share (the delegate, the task registry,
// invalidation, and the one ordered mailbox to the delegate queue, so callbacks keep their order
// whatever queue the session was given) lives in their EngineGroup.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/urlsession/URLSession.h"
#include "platform/urlsession/internal/CurlResources.h"
#include "platform/urlsession/internal/DelegateMailbox.h"
#include "platform/urlsession/internal/TaskKey.h"

namespace platform::urlsession_detail {

class Transfer;
class StreamConnections;

// Leaves the in-flight count when a completion block is done with, even if a callback in it threw.
class InFlightScope {
public:
    explicit InFlightScope(std::shared_ptr<URLSessionTask> task) : task_(std::move(task)) {}
    ~InFlightScope() {
        if (task_) task_->leaveInFlight(kTaskKey);
    }
    InFlightScope(const InFlightScope&) = delete;
    InFlightScope& operator=(const InFlightScope&) = delete;

private:
    std::shared_ptr<URLSessionTask> task_;
};

// Per-task extras set by the session when the task is made (the engine reads them at start).
struct TaskExtras {
    std::optional<Bytes> uploadData{};
    std::optional<std::string> uploadFile{};
    bool streamedUpload = false;
    DataTaskCompletion dataCompletion{};
    DownloadTaskCompletion downloadCompletion{};
    std::optional<Bytes> resumeData{};
};

class Engine;

class EngineGroup : public std::enable_shared_from_this<EngineGroup> {
public:
    EngineGroup(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                dispatch::OperationQueue queue);
    ~EngineGroup();
    // Stops every engine; joins them, except the one this is called on.
    void shutdown();

    // The engine that carries `task`: the one it was given, or, at its first command, the first engine
    // with a free connection in its share (else the least busy one).
    std::shared_ptr<Engine> engineFor(const URLSessionTask& task) EXCLUDES(registryMutex_);
    // The engine of session-wide commands.
    std::shared_ptr<Engine> firstEngine() EXCLUDES(registryMutex_);
    size_t engineCount() const { return engines_.size(); }
    bool onEngineThread() const;

    // Runs `block` on the delegate queue, after every block delivered before it. Blocks delivered on
    // an engine thread go out when its loop turn ends (Engine::flushDeliveries).
    void deliver(std::function<void()> block);
    // An engine's turn ended with blocks delivered during it: they go out unless a drain runs already.
    void flushMailbox();

    // Task registry (any thread).
    uint64_t nextIdentifier() { return nextId_.fetch_add(1); }
    void registerTask(const std::shared_ptr<URLSessionTask>& task) EXCLUDES(registryMutex_);
    // `task` goes on where `from`, which ended without callbacks, was (a data task became a download).
    void replaceTask(uint64_t from, const std::shared_ptr<URLSessionTask>& task) EXCLUDES(registryMutex_);
    // The task has ended: it leaves the registry and its engine's count.
    void forgetTask(uint64_t taskId) EXCLUDES(registryMutex_);
    std::vector<std::shared_ptr<URLSessionTask>> liveTasks() EXCLUDES(registryMutex_);
    void setExtras(uint64_t taskId, TaskExtras extras) EXCLUDES(registryMutex_);
    // A copy: the registry keeps the task's extras until it completes (completion handlers).
    TaskExtras extrasFor(uint64_t taskId) const EXCLUDES(registryMutex_);
    // Removes and answers the task's extras.
    TaskExtras takeExtras(uint64_t taskId) EXCLUDES(registryMutex_);

    void invalidate(bool cancelTasks);
    bool isInvalidated() const { return invalidated_.load(); }
    // Delivers didBecomeInvalidWithError once no engine has work left (any engine thread).
    void maybeFinishInvalidation() EXCLUDES(registryMutex_);

    const URLSessionConfiguration& configuration() const { return config_; }
    void setSession(std::weak_ptr<URLSession> s) { weakSession_ = std::move(s); }
    std::shared_ptr<URLSession> sessionRef() const { return weakSession_.lock(); }
    std::shared_ptr<URLSessionDelegate> delegate() const EXCLUDES(delegateMutex_);
    void clearDelegate() EXCLUDES(delegateMutex_);

private:
    struct Entry {
        std::weak_ptr<URLSessionTask> task;
        int engine = -1;  // not given to one yet
    };
    void scheduleDrain();
    // Engines start (their thread) when first given work.
    std::shared_ptr<Engine> startedLocked(size_t index) REQUIRES(registryMutex_);

    // The owner. Held weakly: an engine thread may outlive it by a moment when it drops the last
    // reference. Set once, before the session is handed out.
    std::weak_ptr<URLSession> weakSession_;
    const URLSessionConfiguration config_;
    dispatch::OperationQueue queue_;
    // Fixed at construction; each started (under the registry lock) on first use.
    std::vector<std::shared_ptr<Engine>> engines_;
    std::atomic<uint64_t> nextId_{1};
    std::atomic<bool> invalidated_{false};
    std::atomic<bool> invalidationDelivered_{false};

    DelegateMailbox mailbox_;

    mutable dispatch::Mutex registryMutex_;
    std::map<uint64_t, Entry> tasks_ GUARDED_BY(registryMutex_);
    std::map<uint64_t, TaskExtras> extras_ GUARDED_BY(registryMutex_);
    // Apart from the registry: the engines read the delegate for every callback, while the threads
    // that make tasks write the registry.
    mutable dispatch::Mutex delegateMutex_;
    std::shared_ptr<URLSessionDelegate> delegate_ GUARDED_BY(delegateMutex_);
};

class Engine : public std::enable_shared_from_this<Engine> {
public:
    // `connectionsPerHost`: this engine's share of the session's limit (0: none).
    Engine(EngineGroup& group, size_t index, long connectionsPerHost);
    ~Engine();
    void start();
    bool started() const { return started_.load(); }
    // Asks the thread to stop; join() waits for it, unless called on the engine thread itself.
    void stop();
    void join();

    // Runs `command` on the engine thread (in order); without `wake`, at its next turn, whenever that
    // comes (a command nothing waits for).
    void post(std::function<void()> command, bool wake = true) EXCLUDES(commandMutex_);
    void deliver(std::function<void()> block) { group_->deliver(std::move(block)); }
    // A block was delivered on this engine's thread: it goes out with the turn's others (flushDeliveries).
    void deferDrain();
    // Sends what this thread delivered during the turn to the delegate queue. One the engine thread
    // then waits for needs this first.
    void flushDeliveries();
    bool onEngineThread() const { return std::this_thread::get_id() == threadId_.load(); }
    // The engine whose thread this is, if any.
    static Engine* current();
    // The engine thread, which alone touches the engine's transfers and connections. Code that gets
    // there from outside the loop's own steps (a command, a transfer, a stream connection) asserts it
    // first: a debug build aborts when it is not so.
    const dispatch::ThreadChecker& engineThread() const RETURN_CAPABILITY(engineThread_) { return engineThread_; }

    EngineGroup& group() const { return *group_; }
    uint64_t nextIdentifier() { return group_->nextIdentifier(); }
    bool isInvalidated() const { return group_->isInvalidated(); }
    const URLSessionConfiguration& configuration() const { return group_->configuration(); }
    std::shared_ptr<URLSession> sessionRef() const { return group_->sessionRef(); }
    std::shared_ptr<URLSessionDelegate> delegate() const { return group_->delegate(); }
    // Transfers or stream connections run here (read by the other engines for invalidation).
    bool busy() const { return busy_.load(); }
    // Tasks given to this engine and not yet ended (the group's measure of how busy it is).
    int tasksGiven() const { return tasksGiven_.load(); }
    void countTasksGiven(int change) { tasksGiven_.fetch_add(change); }

    // A task's first transfer made on the resuming thread when it can be (see Transfer.cpp); null
    // otherwise. installPrepared (engine thread) starts it.
    std::unique_ptr<Transfer> prepareStart(const std::shared_ptr<URLSessionTask>& task);
    void installPrepared(std::unique_ptr<Transfer> transfer);

    // Engine-thread operations behind the task API.
    void startTask(std::shared_ptr<URLSessionTask> task);
    void suspendTask(const std::shared_ptr<URLSessionTask>& task);
    void resumeTask(const std::shared_ptr<URLSessionTask>& task);
    void cancelTask(const std::shared_ptr<URLSessionTask>& task, std::function<void(std::optional<Bytes>)> resumeData);

    // Ends a task that has no transfer (never started, refused, or a stream task) with `error`, none
    // meaning success.
    void completeWithoutTransfer(const std::shared_ptr<URLSessionTask>& task, std::optional<Error> error);

    // Used by transfers and stream connections (engine thread).
    CURLM* multi() const { return multi_; }
    // Easy handles: a fresh one, or one an ended transfer left (reset to defaults; it keeps only
    // curl's buffers), which spares each request curl's set-up and tear-down. Any thread; handles are
    // kept only on the engine thread (elsewhere a handle given back is freed).
    CurlEasy newEasy();
    void recycleEasy(CurlEasy easy);
    // Buffers for body bytes handed to the delegate. One given back after the delegate has had it
    // (any thread) is reused here, so a body's memory is taken and released on the engine's thread
    // only, never freed on the delegate queue's (where it would wait on this thread's malloc arena).
    Bytes bodyBuffer();
    void giveBack(Bytes buffer) EXCLUDES(returnedMutex_);
    // The task's transfer has ended: the task leaves the registry and its transfer is handed to the
    // caller (null when the engine did not hold it).
    std::unique_ptr<Transfer> release(uint64_t taskId);
    // An ended transfer, destroyed when the loop's turn ends (it may still be running its last step).
    void bury(std::unique_ptr<Transfer> transfer);
    // curl handed a transfer bytes it read off a multiplexed (HTTP/2) connection. It may keep more of
    // what it read there, for this transfer or another, and then wait for the socket, which, with
    // everything read, never comes: the next turn reads every connection again before the engine
    // waits (engine thread).
    void readAgain();
    // The transfer of a task, or null once it has ended (engine thread).
    Transfer* transferFor(uint64_t taskId) const;
    // A transfer goes on under another task (a data task that became a download task).
    void moveTransfer(uint64_t fromTaskId, const std::shared_ptr<URLSessionTask>& to);
    // The session stays alive while transfers or stream connections run (see "Lifetime" in URLSession.h).
    void holdSession();
    // The stream tasks' connections (engine thread).
    StreamConnections& streams() { return *streams_; }

private:
    void run();
    // Wakes the thread from its wait (any thread).
    void wake();
    // curl's socket callback: which of its sockets it waits on, for what.
    static int onSocket(CURL* easy, curl_socket_t socket, int what, void* user, void* socketData);
    void waitForWork(int millis) REQUIRES(engineThread_);
    void driveCurl() REQUIRES(engineThread_);
    void runCommands() REQUIRES(engineThread_);
    void dropCommands() EXCLUDES(commandMutex_);
    bool commandsWaiting() EXCLUDES(commandMutex_);
    void abandonTasks();
    void readInfo() REQUIRES(engineThread_);
    void checkTimeouts() REQUIRES(engineThread_);
    void deliverBackgroundEventsFinished();
    void beginTransfer(std::shared_ptr<URLSessionTask> task, TaskExtras extras) REQUIRES(engineThread_);
    // Keeps `busy_` up to date after the turn's changes.
    void noteWork() REQUIRES(engineThread_);

    // The group outlives the engine's use of it: its owner, the session, stops the engines before it
    // lets go, and the engine's thread holds the group while it runs.
    EngineGroup* group_;
    const size_t index_;
    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    dispatch::ThreadChecker engineThread_{"URLSession engine"};
    std::atomic<bool> started_{false};
    std::atomic<bool> stop_{false};
    std::atomic<bool> busy_{false};
    std::atomic<int> tasksGiven_{0};
    const long connectionsPerHost_;
    // The thread is about to wait, or waits, in poll: a command posted then wakes it (through wakeFd_).
    std::atomic<bool> waiting_{false};
    int wakeFd_ = -1;
    // curl's sockets and the poll events it waits for on each; the wait's set of descriptors (kept
    // from turn to turn); the sockets the last wait found ready, with curl's event bits.
    std::vector<pollfd> sockets_ GUARDED_BY(engineThread_);
    std::vector<pollfd> pollSet_ GUARDED_BY(engineThread_);
    std::vector<std::pair<curl_socket_t, int>> ready_ GUARDED_BY(engineThread_);
    // Bytes came off a multiplexed connection during the turn: the next reads again (readAgain).
    bool readAgain_ GUARDED_BY(engineThread_) = false;

    dispatch::Mutex commandMutex_;
    std::vector<std::function<void()>> commands_ GUARDED_BY(commandMutex_);
    std::vector<std::function<void()>> running_ GUARDED_BY(engineThread_);

    // Made with the engine, gone with it; what is inside is the engine thread's.
    std::unique_ptr<StreamConnections> streams_;

    std::shared_ptr<URLSession> keepAlive_ GUARDED_BY(engineThread_);
    // A block went to the mailbox during this turn: flushDeliveries sends the turn's blocks on.
    bool drainWanted_ GUARDED_BY(engineThread_) = false;
    std::map<uint64_t, std::unique_ptr<Transfer>> transfers_ GUARDED_BY(engineThread_);
    std::vector<std::unique_ptr<Transfer>> ended_ GUARDED_BY(engineThread_);
    std::vector<CurlEasy> spareEasy_ GUARDED_BY(engineThread_);
    std::vector<Bytes> spareBuffers_ GUARDED_BY(engineThread_);
    dispatch::Mutex returnedMutex_;
    std::vector<Bytes> returned_ GUARDED_BY(returnedMutex_);
    std::chrono::steady_clock::time_point nextTimeoutCheck_ GUARDED_BY(engineThread_){};
};

}  // namespace platform::urlsession_detail
