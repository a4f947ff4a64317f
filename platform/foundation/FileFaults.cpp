#include <atomic>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/internal/FileFaults.h"

namespace platform::detail {

namespace {

struct Faults {
    dispatch::Mutex mutex;
    FileFault write GUARDED_BY(mutex);
    FileFault read GUARDED_BY(mutex);
    std::atomic<bool> any{false};  // lets every real write skip the lock
};

Faults& faults() {
    static Faults* f = [] {
        auto* made = new Faults;
        ResetRegistry::add("foundation.file-faults", [] {
            setWriteFault(nullptr);
            setReadFault(nullptr);
        });
        return made;
    }();
    return *f;
}

void set(FileFault Faults::*slot, FileFault fault) {
    auto& f = faults();
    dispatch::MutexLock lock(f.mutex);
    f.*slot = std::move(fault);
    f.any = f.write || f.read;
}

int injected(FileFault Faults::*slot, const std::string& path) {
    auto& f = faults();
    if (!f.any) return 0;
    FileFault fault;
    {
        dispatch::MutexLock lock(f.mutex);
        fault = f.*slot;
    }
    return fault ? fault(path) : 0;
}

}  // namespace

void setWriteFault(FileFault fault) { set(&Faults::write, std::move(fault)); }
void setReadFault(FileFault fault) { set(&Faults::read, std::move(fault)); }
int injectedWriteFault(const std::string& path) { return injected(&Faults::write, path); }
int injectedReadFault(const std::string& path) { return injected(&Faults::read, path); }

}  // namespace platform::detail
