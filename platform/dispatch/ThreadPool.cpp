#include "platform/dispatch/internal/ThreadPool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <iostream>
#include <semaphore>
#include <thread>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch::detail {

namespace {
constexpr auto kIdleExit = std::chrono::seconds(10);

// An idle worker sleeps on a signal of its own. One condition variable shared by the whole pool had every
// submitter and every waking worker meet on its internal lock as well as on the pool's.
struct Idle {
    std::binary_semaphore wake{0};
};
}  // namespace

struct ThreadPool::State {
    explicit State(ThreadStarter start) : startThread(std::move(start)) {}
    const ThreadStarter startThread;
    Mutex mutex;
    std::deque<std::function<void()>> tasks GUARDED_BY(mutex);
    // The most recently idle worker is woken first: its stack and caches are the warmest.
    std::vector<Idle*> idle GUARDED_BY(mutex);
    // Woken, not yet back at the queue: they will take a waiting task each.
    size_t waking GUARDED_BY(mutex) = 0;
    int threads GUARDED_BY(mutex) = 0;
};

ThreadPool::ThreadPool(ThreadStarter starter) : state_(*new State(std::move(starter))) {}

ThreadPool& ThreadPool::shared() {
    // Never destroyed: detached workers may outlive main().
    static ThreadPool* pool = &make([](std::function<void()> run) { std::thread(std::move(run)).detach(); });
    return *pool;
}

ThreadPool& ThreadPool::make(ThreadStarter starter) { return *new ThreadPool(std::move(starter)); }

void ThreadPool::submit(std::function<void()> task) {
    State& s = state_;
    Idle* wake = nullptr;
    bool spawn = false;
    {
        MutexLock lock(s.mutex);
        s.tasks.push_back(std::move(task));
        // A task a worker on its way will take needs no other; a running worker that finishes first takes
        // it all the same, and the woken one finds the next or sleeps again.
        if (s.waking < s.tasks.size()) {
            if (!s.idle.empty()) {
                wake = s.idle.back();
                s.idle.pop_back();
                ++s.waking;
            } else if (s.threads < kMaxThreads) {
                ++s.threads;
                ++s.waking;
                spawn = true;
            }
        }
    }
    if (wake) {
        wake->wake.release();
    } else if (spawn) {
        try {
            s.startThread([this] { workerLoop(); });
        } catch (const std::exception& e) {
            // The thread that was counted on will not come: a later task must still wake a worker or start
            // one. This task stays queued: a running worker takes it, or the thread a later task starts.
            {
                MutexLock lock(s.mutex);
                --s.threads;
                --s.waking;
            }
            std::cerr << "dispatch: could not start a worker thread: " << e.what() << std::endl;
        }
    }
}

int ThreadPool::threadCount() const {
    MutexLock lock(state_.mutex);
    return state_.threads;
}

void ThreadPool::workerLoop() {
    // A new thread takes its starter's name: a worker started from a named thread would pass for it.
    pthread_setname_np(pthread_self(), "dispatch-worker");
    State& s = state_;
    Idle self;
    MutexLock lock(s.mutex);
    --s.waking;  // started for a task
    for (;;) {
        while (s.tasks.empty()) {
            s.idle.push_back(&self);
            lock.unlock();
            bool woken = self.wake.try_acquire_for(kIdleExit);
            lock.lock();
            if (!woken) {
                auto it = std::find(s.idle.begin(), s.idle.end(), &self);
                if (it != s.idle.end()) {
                    s.idle.erase(it);
                    --s.threads;
                    return;
                }
                // A submitter picked this worker just as the wait ran out: its signal is on the way.
                lock.unlock();
                self.wake.acquire();
                lock.lock();
            }
            --s.waking;
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
