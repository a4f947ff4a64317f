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

    // Runs the task on some worker, FIFO among waiting tasks. The task must not throw.
    void submit(std::function<void()> task);
    int threadCount() const;

private:
    ThreadPool() = default;
    struct State;
    State& state() const;
    static void workerLoop(ThreadPool* pool);
};

}  // namespace platform::dispatch::detail
