#pragma once
// Thread and lock contracts the compiler checks.
//
// Locks. `Mutex` is a plain (never recursive) mutex that clang's thread-safety analysis knows: a field
// marked GUARDED_BY(mutex_) may be touched only while mutex_ is held, a function marked REQUIRES(mutex_)
// only by a caller that holds it, and one marked EXCLUDES(mutex_) only by a caller that does not. Hold
// one with `MutexLock`; wait on one with `ConditionVariable`. Under GCC the annotations are empty and
// the types are std::mutex and std::condition_variable underneath, at their cost.
//
// Threads. State that one thread (or one serial queue) owns is GUARDED_BY a `ThreadChecker` that names
// it. Code that runs there says so with checker.assertOnThread() before it touches the state: in
// builds without NDEBUG that aborts with the checker's name when called on another thread; with NDEBUG
// it compiles away. To the analysis it is the same either way: after it, the checker counts as held.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#ifndef NDEBUG
#include <atomic>
#include <thread>
#endif

#if defined(__clang__)
#define TESMAR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TESMAR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TESMAR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TESMAR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TESMAR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TESMAR_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TESMAR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TESMAR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TESMAR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TESMAR_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) TESMAR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TESMAR_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TESMAR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TESMAR_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TESMAR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TESMAR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TESMAR_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TESMAR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TESMAR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform::dispatch {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    // For the analysis: tells it the caller holds the mutex where it cannot see so (a callback that
    // runs under a lock its caller took).
    void assertHeld() const ASSERT_CAPABILITY(this) {}

private:
    friend class ConditionVariable;
    std::mutex mutex_;
};

// Holds a Mutex for its scope. unlock()/lock() let a scope let go for a while (to call out) and take it
// again; the destructor releases it only when held.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() {
        if (held_) mutex_.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() {
        mutex_.unlock();
        held_ = false;
    }
    void lock() ACQUIRE() {
        mutex_.lock();
        held_ = true;
    }

private:
    Mutex& mutex_;
    bool held_ = true;
};

// A mutex its holder may take again (each take matched by a release), for a lock held while calling out
// to code that may call back in. Hold one with `RecursiveMutexLock`. The analysis sees it as a Mutex: a
// second take inside one function is an error to it, one in a callee it does not see.
class CAPABILITY("mutex") RecursiveMutex {
public:
    RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

class SCOPED_CAPABILITY RecursiveMutexLock {
public:
    explicit RecursiveMutexLock(RecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~RecursiveMutexLock() RELEASE() { mutex_.unlock(); }
    RecursiveMutexLock(const RecursiveMutexLock&) = delete;
    RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

private:
    RecursiveMutex& mutex_;
};

// A reader-writer mutex: held exclusively by WriterMutexLock, shared by ReaderMutexLock. A field
// GUARDED_BY it may be read under either and written under the writer's lock only.
class CAPABILITY("mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { mutex_.unlock_shared(); }

private:
    std::shared_mutex mutex_;
};

class SCOPED_CAPABILITY WriterMutexLock {
public:
    explicit WriterMutexLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~WriterMutexLock() RELEASE() { mutex_.unlock(); }
    WriterMutexLock(const WriterMutexLock&) = delete;
    WriterMutexLock& operator=(const WriterMutexLock&) = delete;

private:
    SharedMutex& mutex_;
};

class SCOPED_CAPABILITY ReaderMutexLock {
public:
    explicit ReaderMutexLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_.lock_shared(); }
    ~ReaderMutexLock() RELEASE() { mutex_.unlock_shared(); }
    ReaderMutexLock(const ReaderMutexLock&) = delete;
    ReaderMutexLock& operator=(const ReaderMutexLock&) = delete;

private:
    SharedMutex& mutex_;
};

// A condition variable over a Mutex the caller holds (REQUIRES): a wait lets go of it while it sleeps
// and holds it again when it returns, as std::condition_variable does. A predicate that reads guarded
// state says so: `[&]() REQUIRES(mutex_) { return ready_; }`.
class ConditionVariable {
public:
    void notify_one() noexcept { cv_.notify_one(); }
    void notify_all() noexcept { cv_.notify_all(); }

    void wait(Mutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cv_.wait(lock);
        lock.release();
    }
    template <class Predicate>
    void wait(Mutex& mutex, Predicate ready) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        cv_.wait(lock, std::move(ready));
        lock.release();
    }
    // Answers false when the time ran out with the predicate still false.
    template <class Duration, class Predicate>
    bool wait_for(Mutex& mutex, const Duration& timeout, Predicate ready) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        bool result = cv_.wait_for(lock, timeout, std::move(ready));
        lock.release();
        return result;
    }
    template <class TimePoint, class Predicate>
    bool wait_until(Mutex& mutex, const TimePoint& deadline, Predicate ready) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        bool result = cv_.wait_until(lock, deadline, std::move(ready));
        lock.release();
        return result;
    }

private:
    std::condition_variable cv_;
};

// Names the thread (or serial queue) that owns some state. It binds to the first thread that asserts
// on it, or to the thread given to bind(); detach() lets the next assert bind it again (a state handed
// from one owner to the next).
class CAPABILITY("thread") ThreadChecker {
public:
    explicit constexpr ThreadChecker(const char* name) : name_(name) {}
    ThreadChecker(const ThreadChecker&) = delete;
    ThreadChecker& operator=(const ThreadChecker&) = delete;

    const char* name() const { return name_; }

#ifdef NDEBUG
    void assertOnThread() const ASSERT_CAPABILITY(this) {}
    void bindToCurrentThread() {}
    void detach() {}
#else
    void assertOnThread() const ASSERT_CAPABILITY(this);
    void bindToCurrentThread() { bound_.store(std::this_thread::get_id(), std::memory_order_release); }
    void detach() { bound_.store(std::thread::id(), std::memory_order_release); }
#endif

private:
    const char* name_;
#ifndef NDEBUG
    mutable std::atomic<std::thread::id> bound_{};
#endif
};

}  // namespace platform::dispatch
