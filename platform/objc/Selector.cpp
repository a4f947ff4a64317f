#include "platform/objc/Selector.h"
#include "platform/dispatch/ThreadChecks.h"

#include <unordered_set>

namespace platform::objc {
namespace {

struct InternTable {
    dispatch::Mutex mutex;
    // Node-based: element addresses stay valid across rehashing, so they can serve as identities.
    std::unordered_set<std::string> names GUARDED_BY(mutex);
};

InternTable& table() {
    static auto* t = new InternTable;  // never destroyed: selectors may be used during exit
    return *t;
}

}  // namespace

Selector Selector::named(std::string_view name) {
    auto& t = table();
    dispatch::MutexLock lock(t.mutex);
    auto it = t.names.emplace(name).first;
    return Selector(&*it);
}

const std::string& Selector::name() const {
    static const std::string empty;
    return name_ ? *name_ : empty;
}

}  // namespace platform::objc
