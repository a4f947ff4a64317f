// What a session's engines share: the delegate and the mailbox to its queue, the task registry, which
// engine carries which task, and invalidation.
#include <algorithm>

#include "platform/urlsession/internal/Engine.h"
#include "platform/urlsession/internal/StreamConnection.h"

namespace platform::urlsession_detail {

namespace {

// A session gets a second engine only when it may keep this many connections per host on each. An
// engine thread serves many connections at little cost; each further one adds thread wake-ups for
// every answer it carries, so engines are added for throughput only where one would be saturated.
constexpr long kConnectionsPerEngine = 32;
constexpr size_t kMaxEngines = 4;
// Tasks an engine carries before the session starts another.
constexpr int kBusyEngine = 8;

size_t enginesFor(const URLSessionConfiguration& config) {
    // A background session tells the app when all its transfers have said everything: one engine sees them all.
    if (config.identifier()) return 1;
    const long perHost = config.HTTPMaximumConnectionsPerHost;
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t wanted = perHost > 0 ? size_t(perHost / kConnectionsPerEngine) : 1;
    return std::clamp<size_t>(wanted, 1, std::min(cores, kMaxEngines));
}

}  // namespace

EngineGroup::EngineGroup(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                         dispatch::OperationQueue queue)
    : config_(std::move(configuration)), queue_(std::move(queue)), delegate_(std::move(delegate)) {
    // The session's connection limit per host is split between its engines.
    const size_t n = enginesFor(config_);
    const long perHost = std::max(config_.HTTPMaximumConnectionsPerHost, 0);
    for (size_t i = 0; i < n; ++i) {
        const long share = perHost == 0 ? 0 : perHost / long(n) + (long(i) < perHost % long(n) ? 1 : 0);
        engines_.push_back(std::make_shared<Engine>(*this, i, share));
    }
}

EngineGroup::~EngineGroup() = default;

void EngineGroup::shutdown() {
    for (auto& e : engines_) e->stop();
    for (auto& e : engines_) e->join();
}

bool EngineGroup::onEngineThread() const {
    return std::any_of(engines_.begin(), engines_.end(), [](const auto& e) { return e->onEngineThread(); });
}

std::shared_ptr<Engine> EngineGroup::startedLocked(size_t index) {
    auto& engine = engines_[index];
    if (!engine->started()) engine->start();
    return engine;
}

std::shared_ptr<Engine> EngineGroup::firstEngine() {
    dispatch::MutexLock lock(registryMutex_);
    return startedLocked(0);
}

std::shared_ptr<Engine> EngineGroup::engineFor(const URLSessionTask& task) {
    // Stream connections are few and long: they all live on the first engine.
    if (task.kind() == URLSessionTask::Kind::Stream) return firstEngine();
    dispatch::MutexLock lock(registryMutex_);
    auto it = tasks_.find(task.taskIdentifier());
    if (it != tasks_.end() && it->second.engine >= 0) return startedLocked(size_t(it->second.engine));
    // The running engine with the fewest tasks; a further engine starts once even that one carries
    // kBusyEngine tasks. A lightly used session stays on one thread and its kept-alive connections,
    // a busy one spreads its tasks evenly.
    size_t index = 0;
    for (size_t i = 1; i < engines_.size() && engines_[i]->started(); ++i)
        if (engines_[i]->tasksGiven() < engines_[index]->tasksGiven()) index = i;
    if (engines_[index]->tasksGiven() >= kBusyEngine) {
        auto idle = std::find_if(engines_.begin(), engines_.end(), [](const auto& e) { return !e->started(); });
        if (idle != engines_.end()) index = size_t(idle - engines_.begin());
    }
    // A task that has ended (it left the registry) only meets commands that do nothing.
    if (it != tasks_.end()) {
        it->second.engine = int(index);
        engines_[index]->countTasksGiven(1);
    }
    return startedLocked(index);
}

// ---------------------------------------------------------------- delegate queue

void EngineGroup::deliver(std::function<void()> block) {
    // On an engine thread, one drain is scheduled per turn of its loop (flushDeliveries), so a busy
    // session wakes its delegate queue once for many callbacks rather than once for each.
    Engine* current = Engine::current();
    const bool inTurn = current && &current->group() == this;
    if (!mailbox_.post(std::move(block), !inTurn)) return;
    if (inTurn)
        current->deferDrain();
    else
        scheduleDrain();
}

void EngineGroup::flushMailbox() {
    if (mailbox_.claimDrain()) scheduleDrain();
}

void EngineGroup::scheduleDrain() {
    auto self = shared_from_this();
    queue_.addOperation([self] {
        if (self->mailbox_.drain()) self->scheduleDrain();
    });
}

std::shared_ptr<URLSessionDelegate> EngineGroup::delegate() const {
    dispatch::MutexLock lock(delegateMutex_);
    return delegate_;
}

void EngineGroup::clearDelegate() {
    std::shared_ptr<URLSessionDelegate> last;
    dispatch::MutexLock lock(delegateMutex_);
    last.swap(delegate_);
}

// ---------------------------------------------------------------- registry

void EngineGroup::registerTask(const std::shared_ptr<URLSessionTask>& task) {
    dispatch::MutexLock lock(registryMutex_);
    tasks_[task->taskIdentifier()] = Entry{task};
}

void EngineGroup::replaceTask(uint64_t from, const std::shared_ptr<URLSessionTask>& task) {
    dispatch::MutexLock lock(registryMutex_);
    auto it = tasks_.find(from);
    int engine = it != tasks_.end() ? it->second.engine : -1;
    if (it != tasks_.end()) tasks_.erase(it);
    extras_.erase(from);
    tasks_[task->taskIdentifier()] = Entry{task, engine};
}

void EngineGroup::forgetTask(uint64_t taskId) {
    dispatch::MutexLock lock(registryMutex_);
    extras_.erase(taskId);
    auto it = tasks_.find(taskId);
    if (it == tasks_.end()) return;
    if (it->second.engine >= 0) engines_[size_t(it->second.engine)]->countTasksGiven(-1);
    tasks_.erase(it);
}

void EngineGroup::setExtras(uint64_t taskId, TaskExtras extras) {
    dispatch::MutexLock lock(registryMutex_);
    extras_[taskId] = std::move(extras);
}

TaskExtras EngineGroup::extrasFor(uint64_t taskId) const {
    dispatch::MutexLock lock(registryMutex_);
    auto it = extras_.find(taskId);
    return it != extras_.end() ? it->second : TaskExtras{};
}

TaskExtras EngineGroup::takeExtras(uint64_t taskId) {
    dispatch::MutexLock lock(registryMutex_);
    auto it = extras_.find(taskId);
    if (it == extras_.end()) return {};
    TaskExtras extras = std::move(it->second);
    extras_.erase(it);
    return extras;
}

std::vector<std::shared_ptr<URLSessionTask>> EngineGroup::liveTasks() {
    std::vector<std::shared_ptr<URLSessionTask>> out;
    dispatch::MutexLock lock(registryMutex_);
    for (auto& [id, entry] : tasks_)
        if (auto t = entry.task.lock())
            if (t->state() != URLSessionTaskState::Completed) out.push_back(t);
    return out;
}

// ---------------------------------------------------------------- invalidation

void EngineGroup::invalidate(bool cancelTasks) {
    if (invalidated_.exchange(true)) {
        if (!cancelTasks) return;
    }
    auto self = shared_from_this();
    if (cancelTasks)
        for (auto& t : liveTasks()) {
            auto engine = engineFor(*t);
            engine->post([engine, t] { engine->cancelTask(t, nullptr); });
        }
    firstEngine()->post([self] { self->maybeFinishInvalidation(); });
}

// Invalidation is delivered after every task's completion. A task leaves the registry only once its
// completion is in the mailbox, so with no task given to an engine or about to be (resumed), and no
// engine holding a connection, nothing can come after it.
void EngineGroup::maybeFinishInvalidation() {
    if (!invalidated_ || invalidationDelivered_) return;
    if (std::any_of(engines_.begin(), engines_.end(), [](const auto& e) { return e->busy(); })) return;
    {
        dispatch::MutexLock lock(registryMutex_);
        for (auto& [id, entry] : tasks_) {
            if (entry.engine >= 0) return;
            auto t = entry.task.lock();
            if (t && (t->state() == URLSessionTaskState::Running || t->state() == URLSessionTaskState::Canceling))
                return;
        }
        if (invalidationDelivered_.exchange(true)) return;
    }
    auto session = sessionRef();
    auto self = shared_from_this();
    deliver([self, session] {
        if (auto d = self->delegate())
            if (session && d->implements(URLSessionDelegateMethod::DidBecomeInvalidWithError))
                d->didBecomeInvalidWithError(session, std::nullopt);
        self->clearDelegate();
    });
}

}  // namespace platform::urlsession_detail
