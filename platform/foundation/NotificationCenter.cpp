#include "platform/foundation/NotificationCenter.h"
#include "platform/dispatch/ThreadChecks.h"

#include <atomic>
#include <vector>

namespace platform {

namespace {

struct Observer {
    uint64_t id;
    std::optional<std::string> name;
    const void* object;
    NotificationCenter::Block block;
    std::atomic<bool> removed{false};
};

}  // namespace

struct NotificationCenter::State {
    mutable dispatch::Mutex mutex;
    std::vector<std::shared_ptr<Observer>> observers GUARDED_BY(mutex);  // registration order
    uint64_t nextId GUARDED_BY(mutex) = 1;

    void remove(uint64_t id) {
        std::shared_ptr<Observer> gone;
        dispatch::MutexLock lock(mutex);
        for (auto it = observers.begin(); it != observers.end(); ++it) {
            if ((*it)->id == id) {
                (*it)->removed = true;
                gone = std::move(*it);  // the block is released outside the list, after unlock
                observers.erase(it);
                break;
            }
        }
    }
};

NotificationCenter::ObserverToken::ObserverToken(ObserverToken&& other) noexcept
    : state_(std::move(other.state_)), id_(other.id_) {
    other.id_ = 0;
}

NotificationCenter::ObserverToken& NotificationCenter::ObserverToken::operator=(ObserverToken&& other) noexcept {
    if (this != &other) {
        remove();
        state_ = std::move(other.state_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

void NotificationCenter::ObserverToken::remove() {
    if (id_ == 0) return;
    if (auto state = state_.lock()) state->remove(id_);
    state_.reset();
    id_ = 0;
}

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter;  // used until the very end of the process
    return *center;
}

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::optional<std::string> name, const void* object,
                                                                  Block block) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->object = object;
    observer->block = std::move(block);
    dispatch::MutexLock lock(state_->mutex);
    observer->id = state_->nextId++;
    state_->observers.push_back(observer);
    return ObserverToken(state_, observer->id);
}

void NotificationCenter::removeObserver(ObserverToken& token) { token.remove(); }

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Observer>> snapshot;
    {
        dispatch::MutexLock lock(state_->mutex);
        snapshot.reserve(state_->observers.size());
        for (const auto& o : state_->observers) {
            if (o->name && *o->name != notification.name) continue;
            if (o->object && o->object != notification.object) continue;
            snapshot.push_back(o);
        }
    }
    for (const auto& o : snapshot) {
        if (o->removed) continue;
        if (o->block) o->block(notification);
    }
}

void NotificationCenter::postNotificationName(std::string name, const void* object, Value userInfo) {
    post(Notification{std::move(name), object, std::move(userInfo)});
}

size_t NotificationCenter::observerCount() const {
    dispatch::MutexLock lock(state_->mutex);
    return state_->observers.size();
}

}  // namespace platform
