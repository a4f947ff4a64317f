#include "platform/dispatch/internal/ThreadPool.h"

#include <pthread.h>

#include <chrono>
#include <deque>
#include <thread>

#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch::detail {

namespace {
constexpr auto kIdleExit = std::chrono::seconds(10);
}

struct ThreadPool::State {
    Mutex mutex;
    ConditionVariable cv;
    std::deque<std::function<void()>> tasks GUARDED_BY(mutex);
    int threads GUARDED_BY(mutex) = 0;
    int idle GUARDED_BY(mutex) = 0;
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
        MutexLock lock(s.mutex);
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
    MutexLock lock(state().mutex);
    return state().threads;
}

void ThreadPool::workerLoop(ThreadPool* pool) {
    // A new thread takes its starter's name: a worker started from a named thread would pass for it.
    pthread_setname_np(pthread_self(), "dispatch-worker");
    State& s = pool->state();
    MutexLock lock(s.mutex);
    for (;;) {
        while (s.tasks.empty()) {
            ++s.idle;
            bool woke = s.cv.wait_for(s.mutex, kIdleExit, [&]() REQUIRES(s.mutex) { return !s.tasks.empty(); });
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
