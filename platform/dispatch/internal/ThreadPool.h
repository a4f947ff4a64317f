#pragma once
// ThreadPool (internal to dispatch): the workers behind every queue except the main one.
//
// Threads are started on demand when work arrives and no worker is idle, up to a fixed cap, and leave
// after a while without work. Growing on demand keeps a block that waits (a semaphore, a sync onto a
// busy queue) from starving the others; the cap keeps the thread count bounded however many queues exist.
#include <functional>

namespace platform::dispatch::detail {

class ThreadPool {
public:
    static ThreadPool& shared();
    static constexpr int kMaxThreads = 64;

    // Starts a detached thread running the given function; throws std::system_error when the system
    // cannot start one.
    using ThreadStarter = std::function<void(std::function<void()>)>;
    // A pool of its own that starts its threads through `starter` (a test makes a start fail). Like the
    // shared pool it is never destroyed: an idle worker outlives its last task for a while.
    static ThreadPool& make(ThreadStarter starter);

    // Runs the task on some worker, FIFO among waiting tasks. The task must not throw. A thread that
    // cannot be started is said on stderr; the task then waits for a running worker or the next start.
    void submit(std::function<void()> task);
    int threadCount() const;

private:
    struct State;
    explicit ThreadPool(ThreadStarter starter);
    State& state_;
    void workerLoop();
};

}  // namespace platform::dispatch::detail
