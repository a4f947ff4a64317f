#include "platform/dispatch/internal/ThreadPool.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform::dispatch::detail {

namespace {
constexpr auto kIdleExit = std::chrono::seconds(10);
}

struct ThreadPool::State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> tasks;
    int threads = 0;
    int idle = 0;
};

ThreadPool& ThreadPool::shared() {
    static ThreadPool* pool = new ThreadPool;  // never destroyed: detached workers may outlive main()
    return *pool;
}

ThreadPool::State& ThreadPool::state() const {
    static State* s = new State;
    return *s;
}

void ThreadPool::submit(std::function<void()> task) {
    State& s = state();
    bool spawn = false;
    {
        std::lock_guard lock(s.mutex);
        s.tasks.push_back(std::move(task));
        // Idle workers that are already woken but not yet dequeued count against the backlog.
        if (s.idle < static_cast<int>(s.tasks.size()) && s.threads < kMaxThreads) {
            ++s.threads;
            spawn = true;
        }
    }
    if (spawn) {
        std::thread(workerLoop, this).detach();
    } else {
        s.cv.notify_one();
    }
}

int ThreadPool::threadCount() const {
    std::lock_guard lock(state().mutex);
    return state().threads;
}

void ThreadPool::workerLoop(ThreadPool* pool) {
    // A new thread takes its starter's name: a worker started from a named thread would pass for it.
    pthread_setname_np(pthread_self(), "dispatch-worker");
    State& s = pool->state();
    std::unique_lock lock(s.mutex);
    for (;;) {
        while (s.tasks.empty()) {
            ++s.idle;
            bool woke = s.cv.wait_for(lock, kIdleExit, [&] { return !s.tasks.empty(); });
            --s.idle;
            if (!woke) {
                --s.threads;
                return;
            }
        }
        auto task = std::move(s.tasks.front());
        s.tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // release captures outside the lock
        lock.lock();
    }
}

}  // namespace platform::dispatch::detail
