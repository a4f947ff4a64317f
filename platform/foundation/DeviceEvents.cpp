#include "platform/foundation/DeviceEvents.h"
#include "platform/dispatch/ThreadChecks.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <vector>

namespace platform {

namespace {

struct Entry {
    DeviceEvents::Listener listener;
    int running = 0;  // calls in progress, under the registry's lock
    bool removed = false;
};

struct Registry {
    dispatch::Mutex mutex;
    dispatch::ConditionVariable callEnded;
    std::map<int, std::shared_ptr<Entry>> listeners GUARDED_BY(mutex);
    int nextId GUARDED_BY(mutex) = 1;
    std::atomic<size_t> count{0};  // listeners.size(), readable without the lock
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: posts may come from threads during exit
    return *r;
}

// The listeners this thread is calling now (a listener may post, or remove itself).
thread_local std::vector<const Entry*> callingOnThisThread;

void removeListener(int id) {
    auto& r = registry();
    dispatch::MutexLock lock(r.mutex);
    auto it = r.listeners.find(id);
    if (it == r.listeners.end()) return;
    auto entry = it->second;
    r.listeners.erase(it);
    r.count = r.listeners.size();
    entry->removed = true;
    const int ownCalls = int(std::count(callingOnThisThread.begin(), callingOnThisThread.end(), entry.get()));
    r.callEnded.wait(r.mutex, [&]() REQUIRES(r.mutex) { return entry->running <= ownCalls; });
}

}  // namespace

void DeviceEvents::post(const std::string& event, Value fields) {
    auto& r = registry();
    std::vector<std::shared_ptr<Entry>> listeners;
    {
        dispatch::MutexLock lock(r.mutex);
        for (auto& [id, entry] : r.listeners) listeners.push_back(entry);
    }
    for (auto& entry : listeners) {
        {
            // One at a time, so a listener removed by an earlier one (or by another thread) meanwhile is
            // not called.
            dispatch::MutexLock lock(r.mutex);
            if (entry->removed) continue;
            ++entry->running;
        }
        callingOnThisThread.push_back(entry.get());
        struct Call {  // ends the call however the listener leaves
            Registry& r;
            Entry* entry;
            ~Call() {
                callingOnThisThread.pop_back();
                dispatch::MutexLock lock(r.mutex);
                --entry->running;
                r.callEnded.notify_all();
            }
        } call{r, entry.get()};
        entry->listener(event, fields);
    }
}

bool DeviceEvents::hasListeners() { return registry().count.load() > 0; }

DeviceEvents::Token& DeviceEvents::Token::operator=(Token&& other) noexcept {
    if (this != &other) {
        if (id_) removeListener(id_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

DeviceEvents::Token::~Token() {
    if (id_) removeListener(id_);
}

DeviceEvents::Token DeviceEvents::addListener(Listener listener) {
    dispatch::MutexLock lock(registry().mutex);
    int id = registry().nextId++;
    registry().listeners[id] = std::make_shared<Entry>(Entry{std::move(listener)});
    registry().count = registry().listeners.size();
    return Token(id);
}

void consoleLog(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    DeviceEvents::post("console", Value::dictionary({{"text", line}}));
}

}  // namespace platform
