#include "platform/dispatch/DispatchQueue.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <iostream>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/internal/ThreadPool.h"
#include "platform/dispatch/internal/TimerScheduler.h"

namespace platform::dispatch {

namespace {

// Handshake between a sync caller and the queue: the queue says "your turn", the caller runs the block.
struct SyncTurn {
    Mutex mutex;
    ConditionVariable cv;
    bool granted GUARDED_BY(mutex) = false;
};

struct Item {
    std::function<void()> block;
    bool barrier = false;
    std::shared_ptr<SyncTurn> turn;  // set for sync items
};

thread_local std::vector<DispatchQueue::Impl*> tlsRunning;

std::atomic<size_t> queuedBlocks{0};

constexpr int kRunsPerWorker = 32;

}  // namespace

struct DispatchQueue::Impl : std::enable_shared_from_this<DispatchQueue::Impl> {
    std::string label;
    QualityOfService qos;
    int width;  // 1 for serial
    bool main = false;
    bool global = false;

    Mutex mutex;
    std::deque<Item> pending GUARDED_BY(mutex);
    int running GUARDED_BY(mutex) = 0;
    bool barrierRunning GUARDED_BY(mutex) = false;

    Impl(std::string l, QualityOfService q, int w) : label(std::move(l)), qos(q), width(w) {}

    void enqueue(Item item) {
        if (!item.turn) queuedBlocks.fetch_add(1);
        std::vector<Item> start;
        {
            MutexLock lock(mutex);
            pending.push_back(std::move(item));
            takeStartable(start);
        }
        launch(start);
    }

    // Moves every item that may start now out of pending.
    void takeStartable(std::vector<Item>& out) REQUIRES(mutex) {
        while (!pending.empty() && !barrierRunning) {
            Item& front = pending.front();
            if (front.barrier) {
                if (running > 0) break;
                barrierRunning = true;
            } else if (running >= width) {
                break;
            }
            ++running;
            bool barrier = front.barrier;
            out.push_back(std::move(front));
            pending.pop_front();
            if (barrier) break;
        }
    }

    void launch(std::vector<Item>& items) {
        for (auto& item : items) {
            if (item.turn) {
                {
                    MutexLock lock(item.turn->mutex);
                    item.turn->granted = true;
                }
                item.turn->cv.notify_all();
                continue;
            }
            detail::ThreadPool::shared().submit(
                [self = shared_from_this(), block = std::move(item.block), barrier = item.barrier]() mutable {
                    self->runOnWorker(std::move(block), barrier);
                });
        }
    }

    // A worker runs its block, then goes on with the queue's next ready block itself (a serial queue
    // with a backlog), up to kRunsPerWorker, instead of a thread hand-off for each. A sync caller's
    // turn is always handed over.
    void runOnWorker(std::function<void()> block, bool barrier) {
        for (int runs = 1;; ++runs) {
            {
                detail::CurrentQueueScope scope{DispatchQueue(shared_from_this())};
                detail::runGuarded(label, block);
                block = nullptr;
            }
            queuedBlocks.fetch_sub(1);
            std::vector<Item> start;
            {
                MutexLock lock(mutex);
                --running;
                if (barrier) barrierRunning = false;
                takeStartable(start);
            }
            if (runs < kRunsPerWorker && !start.empty() && !start.front().turn) {
                block = std::move(start.front().block);
                barrier = start.front().barrier;
                start.erase(start.begin());
                launch(start);
                continue;
            }
            launch(start);
            return;
        }
    }

    void finished(bool barrier) {
        std::vector<Item> start;
        {
            MutexLock lock(mutex);
            --running;
            if (barrier) barrierRunning = false;
            takeStartable(start);
        }
        launch(start);
    }
};

namespace detail {

CurrentQueueScope::CurrentQueueScope(const DispatchQueue& queue) : impl_(queue.impl_) {
    tlsRunning.push_back(impl_.get());
}

CurrentQueueScope::~CurrentQueueScope() { tlsRunning.pop_back(); }

namespace {
template <class Label>
void runLogging(const Label& where, const std::function<void()>& block) {
    try {
        block();
    } catch (const std::exception& e) {
        std::cerr << "dispatch: a block on queue \"" << where() << "\" threw: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "dispatch: a block on queue \"" << where() << "\" threw a non-standard exception" << std::endl;
    }
}
}  // namespace

void runGuarded(std::string_view where, const std::function<void()>& block) {
    runLogging([where] { return where; }, block);
}

void runGuarded(const std::function<std::string()>& where, const std::function<void()>& block) {
    runLogging(where, block);
}

}  // namespace detail

size_t queuedBlockCount() { return queuedBlocks.load(); }

std::optional<double> nextQueuedBlockDeadline(double setWithin) {
    return detail::TimerScheduler::shared().nextOneShotDeadline(setWithin);
}

DispatchQueue::DispatchQueue(std::string label, Attributes attributes, QualityOfService qos)
    : impl_(std::make_shared<Impl>(std::move(label), qos, attributes == Attributes::Serial ? 1 : INT_MAX)) {}

DispatchQueue DispatchQueue::main() {
    static std::shared_ptr<Impl>* impl = [] {
        auto p = std::make_shared<Impl>("com.tesmar.main-thread", QualityOfService::UserInteractive, 1);
        p->main = true;
        return new std::shared_ptr<Impl>(std::move(p));
    }();
    return DispatchQueue(*impl);
}

DispatchQueue DispatchQueue::global(QualityOfService qos) {
    static const char* const kLabels[] = {"com.tesmar.global.user-interactive", "com.tesmar.global.user-initiated",
                                          "com.tesmar.global.default", "com.tesmar.global.utility",
                                          "com.tesmar.global.background"};
    static std::shared_ptr<Impl>* impls = [] {
        auto* arr = new std::shared_ptr<Impl>[5];
        for (int i = 0; i < 5; ++i) {
            arr[i] = std::make_shared<Impl>(kLabels[i], static_cast<QualityOfService>(i), INT_MAX);
            arr[i]->global = true;
        }
        return arr;
    }();
    int index =
        qos == QualityOfService::Unspecified ? static_cast<int>(QualityOfService::Default) : static_cast<int>(qos);
    return DispatchQueue(impls[index]);
}

const std::string& DispatchQueue::label() const { return impl_->label; }
QualityOfService DispatchQueue::qualityOfService() const { return impl_->qos; }
bool DispatchQueue::isMain() const { return impl_->main; }
bool DispatchQueue::isSerial() const { return impl_->width == 1; }

void DispatchQueue::async(std::function<void()> block) const {
    if (!block) return;
    if (impl_->main) {
        MainLoop::shared().post(std::move(block));
        return;
    }
    impl_->enqueue(Item{std::move(block), false, nullptr});
}

void DispatchQueue::asyncBarrier(std::function<void()> block) const {
    if (!block) return;
    if (impl_->main || impl_->global) {
        async(std::move(block));
        return;
    }
    impl_->enqueue(Item{std::move(block), true, nullptr});
}

void DispatchQueue::asyncAfter(double seconds, std::function<void()> block) const {
    if (!block) return;
    if (!(seconds > 0)) seconds = 0;
    if (impl_->main) {
        MainLoop::shared().postAfter(seconds, std::move(block));
        return;
    }
    detail::TimerScheduler::shared().schedule(Clock::shared()->now() + seconds, *this, std::move(block));
}

void DispatchQueue::sync(const std::function<void()>& block) const {
    if (!block) return;
    if (isCurrent() || impl_->global || (impl_->main && MainLoop::isMainThread())) {
        detail::CurrentQueueScope scope(*this);
        block();
        return;
    }
    if (impl_->main) {
        // Another thread waits for the main loop to run the block.
        struct Done {
            Mutex mutex;
            ConditionVariable cv;
            bool done GUARDED_BY(mutex) = false;
            std::exception_ptr error GUARDED_BY(mutex);
        };
        auto done = std::make_shared<Done>();
        MainLoop::shared().post([done, &block] {
            std::exception_ptr error;
            try {
                block();
            } catch (...) {
                error = std::current_exception();
            }
            {
                MutexLock lock(done->mutex);
                done->done = true;
                done->error = error;
            }
            done->cv.notify_all();
        });
        MutexLock lock(done->mutex);
        done->cv.wait(done->mutex, [&]() REQUIRES(done->mutex) { return done->done; });
        if (done->error) std::rethrow_exception(done->error);
        return;
    }
    auto turn = std::make_shared<SyncTurn>();
    impl_->enqueue(Item{nullptr, false, turn});
    {
        MutexLock lock(turn->mutex);
        turn->cv.wait(turn->mutex, [&]() REQUIRES(turn->mutex) { return turn->granted; });
    }
    std::exception_ptr error;
    {
        detail::CurrentQueueScope scope(*this);
        try {
            block();
        } catch (...) {
            error = std::current_exception();
        }
    }
    impl_->finished(false);
    if (error) std::rethrow_exception(error);
}

bool DispatchQueue::isCurrent() const {
    return std::find(tlsRunning.begin(), tlsRunning.end(), impl_.get()) != tlsRunning.end();
}

#ifndef NDEBUG
void DispatchQueue::assertCurrent() const {
    if (isCurrent()) return;
    std::fprintf(stderr, "thread check failed: state of queue \"%s\" is touched off the queue\n", impl_->label.c_str());
    std::abort();
}
#endif

std::optional<DispatchQueue> DispatchQueue::current() {
    if (tlsRunning.empty()) return std::nullopt;
    return DispatchQueue(tlsRunning.back()->shared_from_this());
}

std::string DispatchQueue::currentLabel() { return tlsRunning.empty() ? std::string() : tlsRunning.back()->label; }

}  // namespace platform::dispatch
