#include "platform/dispatch/OperationQueue.h"

#include <chrono>
#include <deque>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"

namespace platform::dispatch {

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
    mutable Mutex mutex;
    ConditionVariable idle;
    std::string name GUARDED_BY(mutex);
    int maxConcurrent GUARDED_BY(mutex) = kDefaultMaxConcurrentOperationCount;
    bool suspended GUARDED_BY(mutex) = false;
    bool main = false;  // set before the state is shared
    QualityOfService qos GUARDED_BY(mutex) = QualityOfService::Default;
    std::optional<DispatchQueue> underlying GUARDED_BY(mutex);
    std::deque<std::shared_ptr<Operation>> waiting GUARDED_BY(mutex);
    std::vector<std::shared_ptr<Operation>> runningOps GUARDED_BY(mutex);
    int running GUARDED_BY(mutex) = 0;
};

namespace {
thread_local std::vector<OperationQueue::State*> tlsCurrent;

struct CurrentScope {
    explicit CurrentScope(OperationQueue::State* s) { tlsCurrent.push_back(s); }
    ~CurrentScope() { tlsCurrent.pop_back(); }
};
}  // namespace

OperationQueue::OperationQueue() : state_(std::make_shared<State>()) {}

OperationQueue OperationQueue::main() {
    static std::shared_ptr<State>* state = [] {
        auto s = std::make_shared<State>();
        MutexLock lock(s->mutex);
        s->name = "NSOperationQueue Main Queue";
        s->maxConcurrent = 1;
        s->main = true;
        s->qos = QualityOfService::UserInteractive;
        return new std::shared_ptr<State>(std::move(s));
    }();
    return OperationQueue(*state);
}

std::optional<OperationQueue> OperationQueue::currentQueue() {
    if (!tlsCurrent.empty()) return OperationQueue(tlsCurrent.back()->shared_from_this());
    if (MainLoop::isMainThread()) return main();
    return std::nullopt;
}

std::string OperationQueue::name() const {
    MutexLock lock(state_->mutex);
    return state_->name;
}

void OperationQueue::setName(std::string name) {
    MutexLock lock(state_->mutex);
    state_->name = std::move(name);
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    {
        MutexLock lock(state_->mutex);
        if (state_->main) return;  // the main queue is serial by nature
        state_->maxConcurrent = (count == kDefaultMaxConcurrentOperationCount || count > 0) ? count : 1;
    }
    pump(state_);
}

bool OperationQueue::isSuspended() const {
    MutexLock lock(state_->mutex);
    return state_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        MutexLock lock(state_->mutex);
        state_->suspended = suspended;
    }
    if (!suspended) pump(state_);
}

QualityOfService OperationQueue::qualityOfService() const {
    MutexLock lock(state_->mutex);
    return state_->qos;
}

void OperationQueue::setQualityOfService(QualityOfService qos) {
    MutexLock lock(state_->mutex);
    state_->qos = qos;
}

void OperationQueue::setUnderlyingQueue(std::optional<DispatchQueue> queue) {
    MutexLock lock(state_->mutex);
    if (state_->main) return;
    state_->underlying = std::move(queue);
}

std::shared_ptr<Operation> OperationQueue::addOperation(std::function<void()> block) {
    auto op = std::make_shared<Operation>(std::move(block));
    addOperation(op);
    return op;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    if (!operation || operation->added_.exchange(true)) return;
    {
        MutexLock lock(state_->mutex);
        state_->waiting.push_back(std::move(operation));
    }
    pump(state_);
}

void OperationQueue::cancelAllOperations() {
    std::deque<std::shared_ptr<Operation>> dropped;
    {
        MutexLock lock(state_->mutex);
        dropped.swap(state_->waiting);
        for (auto& op : state_->runningOps) op->cancel();
        for (auto& op : dropped) {
            op->cancel();
            op->finished_ = true;
        }
        state_->idle.notify_all();
    }
}

size_t OperationQueue::operationCount() const {
    MutexLock lock(state_->mutex);
    return state_->waiting.size() + static_cast<size_t>(state_->running);
}

bool OperationQueue::waitUntilAllOperationsAreFinished(std::optional<double> timeoutSeconds) {
    MutexLock lock(state_->mutex);
    auto empty = [&]() REQUIRES(state_->mutex) { return state_->waiting.empty() && state_->running == 0; };
    if (!timeoutSeconds) {
        state_->idle.wait(state_->mutex, empty);
        return true;
    }
    return state_->idle.wait_for(state_->mutex, std::chrono::duration<double>(std::max(0.0, *timeoutSeconds)), empty);
}

namespace {
// A serial run of ready operations continues on the worker that ran the last one, up to this many,
// instead of going through the target queue (and a thread wake-up) for each.
constexpr int kRunsPerDispatch = 32;
}  // namespace

void OperationQueue::runOperation(const std::shared_ptr<State>& state, const std::shared_ptr<Operation>& op) {
    if (!op->isCancelled()) {
        op->executing_ = true;
        CurrentScope scope(state.get());
        detail::runGuarded(
            [&state]() -> std::string {
                MutexLock lock(state->mutex);
                return state->name.empty() ? "operation queue" : state->name;
            },
            op->block_);
        op->executing_ = false;
    }
    op->block_ = nullptr;
    op->finished_ = true;
}

void OperationQueue::pump(const std::shared_ptr<State>& state) {
    std::vector<std::shared_ptr<Operation>> start;
    DispatchQueue target = DispatchQueue::main();
    QualityOfService qos = QualityOfService::Default;
    {
        MutexLock lock(state->mutex);
        if (state->suspended) return;
        while (!state->waiting.empty() &&
               (state->maxConcurrent == kDefaultMaxConcurrentOperationCount || state->running < state->maxConcurrent)) {
            start.push_back(std::move(state->waiting.front()));
            state->waiting.pop_front();
            state->runningOps.push_back(start.back());
            ++state->running;
        }
        if (start.empty()) return;
        qos = state->qos;
        if (!state->main) target = state->underlying ? *state->underlying : DispatchQueue::global(qos);
    }
    for (auto& op : start) {
        target.async([state, op, qos]() mutable {
            for (int runs = 1;; ++runs) {
                runOperation(state, op);
                MutexLock lock(state->mutex);
                --state->running;
                std::erase(state->runningOps, op);
                op = nullptr;
                // Only where pump would run it too: a global queue of the same quality of service.
                if (runs < kRunsPerDispatch && !state->suspended && !state->main && !state->underlying &&
                    state->qos == qos && !state->waiting.empty() &&
                    (state->maxConcurrent == kDefaultMaxConcurrentOperationCount ||
                     state->running < state->maxConcurrent)) {
                    op = std::move(state->waiting.front());
                    state->waiting.pop_front();
                    state->runningOps.push_back(op);
                    ++state->running;
                }
                state->idle.notify_all();
                if (!op) break;
            }
            pump(state);
        });
    }
}

}  // namespace platform::dispatch
