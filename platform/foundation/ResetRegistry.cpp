#include "platform/foundation/ResetRegistry.h"
#include "platform/dispatch/ThreadChecks.h"

#include <algorithm>
#include <utility>

namespace platform {

namespace {

struct Entry {
    std::string name;
    std::function<void()> reset;
};

struct Registry {
    dispatch::Mutex mutex;
    std::vector<Entry> entries GUARDED_BY(mutex);  // in the order added
};

Registry& registry() {
    static Registry* r = new Registry;  // singletons add themselves from any thread, up to exit
    return *r;
}

std::vector<Entry> snapshot() {
    auto& r = registry();
    dispatch::MutexLock lock(r.mutex);
    return r.entries;
}

}  // namespace

void ResetRegistry::add(std::string name, std::function<void()> reset) {
    auto& r = registry();
    dispatch::MutexLock lock(r.mutex);
    if (std::any_of(r.entries.begin(), r.entries.end(), [&](const Entry& e) { return e.name == name; })) return;
    r.entries.push_back({std::move(name), std::move(reset)});
}

void ResetRegistry::runAll() {
    auto entries = snapshot();
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) it->reset();
}

void ResetRegistry::run(const std::vector<std::string_view>& names) {
    auto entries = snapshot();
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        if (std::find(names.begin(), names.end(), it->name) != names.end()) it->reset();
}

}  // namespace platform
