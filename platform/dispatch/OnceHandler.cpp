#include "platform/dispatch/OnceHandler.h"

#include <map>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"

namespace platform::dispatch {

namespace {

struct Registry {
    Mutex mutex;
    uint64_t nextId GUARDED_BY(mutex) = 1;
    std::map<uint64_t, std::pair<std::string, bool>> pending GUARDED_BY(mutex);  // id -> (name, reported)
    std::atomic<size_t> faults{0};
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives handlers destroyed at exit
    return *r;
}

void fault(const char* kind, const std::string& name) {
    registry().faults.fetch_add(1);
    DeviceEvents::post("fault", Value::dictionary({{"kind", kind}, {"name", name}}));
}

}  // namespace

namespace detail {

OnceState::OnceState(std::string_view name, OnceHandlerPolicy policy) : policy_(policy) {
    if (policy_ == OnceHandlerPolicy::IgnoreExtraCalls) return;
    name_ = name;
    if (policy_ != OnceHandlerPolicy::ReportFaultsAndPending) return;
    auto& r = registry();
    MutexLock lock(r.mutex);
    id_ = r.nextId++;
    r.pending[id_] = {name_, false};
}

OnceState::~OnceState() {
    if (called_.load() || policy_ == OnceHandlerPolicy::IgnoreExtraCalls) return;
    if (id_ != 0) {
        auto& r = registry();
        MutexLock lock(r.mutex);
        r.pending.erase(id_);
    }
    fault("completion-not-called", name_);
}

bool OnceState::enter() {
    if (called_.exchange(true)) {
        if (policy_ != OnceHandlerPolicy::IgnoreExtraCalls) fault("completion-called-twice", name_);
        return false;
    }
    if (id_ != 0) {
        auto& r = registry();
        MutexLock lock(r.mutex);
        r.pending.erase(id_);
    }
    return true;
}

}  // namespace detail

size_t pendingOnceHandlerCount() {
    auto& r = registry();
    MutexLock lock(r.mutex);
    return r.pending.size();
}

size_t reportPendingOnceHandlers() {
    std::vector<std::string> names;
    {
        auto& r = registry();
        MutexLock lock(r.mutex);
        for (auto& [id, entry] : r.pending) {
            if (entry.second) continue;
            entry.second = true;
            names.push_back(entry.first);
        }
    }
    for (auto& n : names) fault("completion-pending", n);
    return names.size();
}

size_t onceHandlerFaultCount() { return registry().faults.load(); }

}  // namespace platform::dispatch
