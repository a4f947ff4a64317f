#include "platform/foundation/PendingWrites.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/ResetRegistry.h"

namespace platform {

namespace {

// The latest bytes of a path written through write(), kept while they have not reached the disk.
struct Slot {
    dispatch::Mutex writing;  // one write of the path at a time, so an older retry never lands after a newer write
    std::optional<Bytes> bytes GUARDED_BY(writing);
};

struct State {
    dispatch::Mutex mutex;
    std::map<std::string, std::function<void()>>
        failing GUARDED_BY(mutex);  // path -> its retry (empty: said, not retried)
    std::map<std::string, std::shared_ptr<Slot>> slots GUARDED_BY(mutex);
    std::set<std::string> swept GUARDED_BY(mutex);
    PendingWrites::DelayScheduler scheduler GUARDED_BY(mutex);
    bool retryScheduled GUARDED_BY(mutex) = false;
    double delay GUARDED_BY(mutex) = PendingWrites::kFirstRetryDelay;
    uint64_t generation GUARDED_BY(mutex) = 0;  // a reset leaves timers already set without effect
};

void resetState();

State& state() {
    static State* s = [] {
        auto* made = new State;  // never destroyed: stores report from threads up to exit
        ResetRegistry::add("foundation.pending-writes", resetState);
        return made;
    }();
    return *s;
}

void resetState() {
    auto& s = state();
    std::map<std::string, std::function<void()>> failing;  // released outside the lock
    {
        dispatch::MutexLock lock(s.mutex);
        failing.swap(s.failing);
        s.slots.clear();
        s.swept.clear();
        s.retryScheduled = false;
        s.delay = PendingWrites::kFirstRetryDelay;
        ++s.generation;
    }
}

std::shared_ptr<Slot> slotFor(const std::string& path) {
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    auto& slot = s.slots[path];
    if (!slot) slot = std::make_shared<Slot>();
    return slot;
}

std::string underDeviceRoot(const std::string& path) {
    auto home = FileManager::defaultManager().homeDirectory();
    if (home && path.size() > home->size() + 1 && path.compare(0, home->size(), *home) == 0 &&
        path[home->size()] == '/')
        return path.substr(home->size() + 1);
    return path;
}

// The errno's text when the error carries one (the file layer's errors do), else its description.
std::string errorText(const Error& error) {
    int64_t err = error.domain == kPOSIXErrorDomain ? error.code : 0;
    if (const Value* underlying = error.userInfo.find(kUnderlyingErrorKey))
        if ((*underlying)["domain"].stringOr("") == kPOSIXErrorDomain) err = (*underlying)["code"].integerOr(0);
    return err > 0 ? std::string(std::strerror(int(err))) : error.localizedDescription();
}

void retryDue(uint64_t generation) {
    auto& s = state();
    {
        dispatch::MutexLock lock(s.mutex);
        if (generation != s.generation) return;
        s.retryScheduled = false;
        s.delay = std::min(s.delay * 2, PendingWrites::kLongestRetryDelay);
    }
    PendingWrites::flushAll();
}

std::function<void()> retryOfKeptBytes(const std::string& path, const PendingWrites::Options& options) {
    return [path, options] {
        std::optional<FileLock> fileLock;  // before the slot, in the order write()'s callers take them
        if (!options.lockPath.empty()) fileLock.emplace(options.lockPath);
        auto slot = slotFor(path);
        dispatch::MutexLock writing(slot->writing);
        if (!slot->bytes) return;  // a newer write has taken its place
        auto outcome = FileManager::defaultManager().writeAtomically(path, *slot->bytes, options.mode, options.flush);
        if (outcome) slot->bytes.reset();
        PendingWrites::report(path, outcome, outcome ? nullptr : retryOfKeptBytes(path, options));
    };
}

}  // namespace

Result<void> PendingWrites::write(const std::string& path, Bytes bytes, const Options& options) {
    auto slot = slotFor(path);  // inside the caller's file lock, as a retry takes them
    dispatch::MutexLock writing(slot->writing);
    auto outcome = FileManager::defaultManager().writeAtomically(path, bytes, options.mode, options.flush);
    const bool retry = !outcome && options.onFailure == OnFailure::Retry;
    slot->bytes = retry ? std::optional<Bytes>(std::move(bytes)) : std::nullopt;
    report(path, outcome, retry ? retryOfKeptBytes(path, options) : nullptr);
    return outcome;
}

void PendingWrites::report(const std::string& path, const Result<void>& outcome, std::function<void()> retry) {
    auto& s = state();
    std::function<void()> replaced;  // released outside the lock: it may hold the last reference to a store
    bool said = false;
    DelayScheduler scheduler;
    double delay = 0;
    uint64_t generation = 0;
    {
        dispatch::MutexLock lock(s.mutex);
        auto it = s.failing.find(path);
        if (outcome) {
            if (it == s.failing.end()) return;
            replaced = std::move(it->second);
            s.failing.erase(it);
            if (s.failing.empty()) s.delay = kFirstRetryDelay;
        } else {
            const bool retried = bool(retry);
            said = it != s.failing.end();
            if (said) {
                replaced = std::exchange(it->second, std::move(retry));
            } else {
                s.failing.emplace(path, std::move(retry));
            }
            if (retried && !s.retryScheduled && s.scheduler) {
                s.retryScheduled = true;
                scheduler = s.scheduler;
                delay = s.delay;
                generation = s.generation;
            }
        }
    }
    if (outcome)
        DeviceEvents::post("storage.recovered", Value::dictionary({{"path", underDeviceRoot(path)}}));
    else if (!said)
        DeviceEvents::post("storage.failed",
                           Value::dictionary({{"path", underDeviceRoot(path)}, {"error", errorText(outcome.error())}}));
    if (scheduler) scheduler(delay, [generation] { retryDue(generation); });
}

void PendingWrites::removeStaleTemporaryFilesOnce(const std::string& path) {
    auto& s = state();
    {
        dispatch::MutexLock lock(s.mutex);
        if (!s.swept.insert(path).second) return;
    }
    FileManager::defaultManager().removeStaleTemporaryFiles(path);
}

bool PendingWrites::isPending(const std::string& path) {
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    return s.failing.count(path) > 0;
}

void PendingWrites::flushAll() {
    auto& s = state();
    std::vector<std::function<void()>> retries;
    {
        dispatch::MutexLock lock(s.mutex);
        for (const auto& [path, retry] : s.failing)
            if (retry) retries.push_back(retry);
    }
    for (auto& retry : retries) retry();
}

PendingWrites::DelayScheduler PendingWrites::setDelayScheduler(DelayScheduler scheduler) {
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    return std::exchange(s.scheduler, std::move(scheduler));
}

}  // namespace platform
