#include "platform/foundation/PendingWrites.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/internal/FileSignature.h"

namespace platform {

namespace {

// The latest bytes of a path written through write(), kept while they have not reached the disk.
struct Slot {
    dispatch::Mutex writing;  // one write of the path at a time, so an older retry never lands after a newer write
    std::optional<Bytes> bytes GUARDED_BY(writing);
    // What writeSoon() left to write, until it is written or a newer write takes its place.
    std::optional<std::pair<Bytes, PendingWrites::Options>> soon GUARDED_BY(writing);
};

struct State {
    dispatch::Mutex mutex;
    std::map<std::string, std::function<void()>>
        failing GUARDED_BY(mutex);  // path -> its retry (empty: said, not retried)
    // path -> what a keyed store answers for its unsaved keys, while the path is failing
    std::map<std::string, std::function<std::vector<std::string>()>> unsavedKeys GUARDED_BY(mutex);
    std::map<std::string, std::shared_ptr<Slot>> slots GUARDED_BY(mutex);
    std::set<std::string> swept GUARDED_BY(mutex);
    // path -> the damaged file there that could not be set aside, once said
    std::map<std::string, detail::FileSignature> unmovable GUARDED_BY(mutex);
    std::map<std::string, std::function<void()>> later GUARDED_BY(mutex);  // writes left for the worker
    PendingWrites::DelayScheduler scheduler GUARDED_BY(mutex);
    PendingWrites::Worker worker GUARDED_BY(mutex);
    int running GUARDED_BY(mutex) = 0;  // writes the worker has taken from `later` and not finished
    dispatch::ConditionVariable finished;
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
    std::map<std::string, std::function<void()>> failing, later;  // released outside the lock
    std::map<std::string, std::function<std::vector<std::string>()>> unsavedKeys;
    {
        dispatch::MutexLock lock(s.mutex);
        failing.swap(s.failing);
        unsavedKeys.swap(s.unsavedKeys);
        s.slots.clear();
        s.swept.clear();
        s.unmovable.clear();
        later.swap(s.later);
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

Result<void> land(const std::string& path, const Bytes& bytes, const PendingWrites::Options& options) {
    auto& files = FileManager::defaultManager();
    // A folder that cannot be made shows as the write's own failure.
    if (options.makeFolder) (void)files.createDirectory(path.substr(0, path.find_last_of('/')));
    return files.writeAtomically(path, bytes, options.mode, options.flush);
}

std::function<void()> retryOfKeptBytes(const std::string& path, const PendingWrites::Options& options);

// write() for a caller that holds the slot (and the file lock the options name).
Result<void> writeInSlot(const std::string& path, Slot& slot, Bytes bytes, const PendingWrites::Options& options)
    REQUIRES(slot.writing) {
    auto outcome = land(path, bytes, options);
    const bool retry = !outcome && options.onFailure == PendingWrites::OnFailure::Retry;
    slot.bytes = retry ? std::optional<Bytes>(std::move(bytes)) : std::nullopt;
    PendingWrites::report(path, outcome, retry ? retryOfKeptBytes(path, options) : nullptr);
    return outcome;
}

thread_local bool runningALeftWrite = false;

// Runs the write left for `path`, unless flushAll() ran it first.
void runWhatWasLeft(const std::string& path) {
    auto& s = state();
    std::function<void()> write;
    {
        dispatch::MutexLock lock(s.mutex);
        auto it = s.later.find(path);
        if (it == s.later.end()) return;
        write = std::move(it->second);
        s.later.erase(it);
        ++s.running;
    }
    runningALeftWrite = true;
    write();
    runningALeftWrite = false;
    write = nullptr;  // what it holds goes before flushAll() is let go
    dispatch::MutexLock lock(s.mutex);
    if (--s.running == 0) s.finished.notify_all();
}

// Writes what writeSoon() left for `path`, unless a newer write took its place meanwhile.
void writeWhatWasLeft(const std::string& path) {
    auto slot = slotFor(path);
    std::string lockPath;
    {
        dispatch::MutexLock writing(slot->writing);
        if (!slot->soon) return;
        lockPath = slot->soon->second.lockPath;
    }
    std::optional<FileLock> fileLock;  // before the slot, in the order write()'s callers take them
    if (!lockPath.empty()) fileLock.emplace(lockPath);
    dispatch::MutexLock writing(slot->writing);
    if (!slot->soon) return;
    auto [bytes, options] = std::move(*slot->soon);
    slot->soon.reset();
    (void)writeInSlot(path, *slot, std::move(bytes), options);  // a failure is said and kept as write() keeps it
}

// The copies of `path` set aside so far, by number: "<file>.corrupt" is 0, "<file>.corrupt.N" is N.
std::map<uint64_t, std::string> damagedCopies(const std::string& path) {
    std::map<uint64_t, std::string> copies;
    const auto slash = path.find_last_of('/');
    const std::string folder = path.substr(0, slash);
    const std::string prefix = path.substr(slash + 1) + ".corrupt";
    auto names = FileManager::defaultManager().contentsOfDirectory(folder);
    if (!names) return copies;
    for (const auto& name : *names) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string_view rest = std::string_view(name).substr(prefix.size());
        uint64_t number = 0;
        if (!rest.empty()) {
            if (rest.size() < 2 || rest[0] != '.') continue;
            auto [end, ec] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), number);
            if (ec != std::errc() || end != rest.data() + rest.size() || number == 0) continue;
        }
        copies.emplace(number, folder + "/" + name);
    }
    return copies;
}

// Whether the damaged file at `path`, which could not be set aside, has not been said yet: a store tries
// again at each read, and the same file, unchanged, is said once.
bool isNewUnmovableFile(const std::string& path) {
    const auto now = detail::signatureAt(path);
    if (!now.exists) return true;
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    auto [it, added] = s.unmovable.try_emplace(path, now);
    return added || std::exchange(it->second, now) != now;
}

void forgetUnmovableFile(const std::string& path) {
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    s.unmovable.erase(path);
}

std::function<void()> retryOfKeptBytes(const std::string& path, const PendingWrites::Options& options) {
    return [path, options] {
        std::optional<FileLock> fileLock;  // before the slot, in the order write()'s callers take them
        if (!options.lockPath.empty()) fileLock.emplace(options.lockPath);
        auto slot = slotFor(path);
        dispatch::MutexLock writing(slot->writing);
        if (!slot->bytes) return;  // a newer write has taken its place
        auto outcome = land(path, *slot->bytes, options);
        if (outcome) slot->bytes.reset();
        PendingWrites::report(path, outcome, outcome ? nullptr : retryOfKeptBytes(path, options));
    };
}

}  // namespace

Result<void> PendingWrites::write(const std::string& path, Bytes bytes, const Options& options) {
    auto slot = slotFor(path);  // inside the caller's file lock, as a retry takes them
    dispatch::MutexLock writing(slot->writing);
    slot->soon.reset();  // this write is the newer one
    return writeInSlot(path, *slot, std::move(bytes), options);
}

void PendingWrites::writeSoon(const std::string& path, Bytes bytes, const Options& options) {
    auto slot = slotFor(path);
    {
        dispatch::MutexLock writing(slot->writing);
        slot->soon.emplace(std::move(bytes), options);
    }
    writeLater(path, [path] { writeWhatWasLeft(path); });
}

void PendingWrites::writeLater(const std::string& path, std::function<void()> write) {
    auto& s = state();
    Worker worker;
    bool waiting = false;
    {
        dispatch::MutexLock lock(s.mutex);
        auto& slot = s.later[path];
        waiting = bool(slot);  // its worker job is on its way and will run this one
        slot = std::move(write);
        worker = s.worker;
    }
    if (waiting) return;
    if (worker)
        worker([path] { runWhatWasLeft(path); });
    else
        runWhatWasLeft(path);
}

void PendingWrites::report(const std::string& path, const Result<void>& outcome, std::function<void()> retry,
                           std::function<std::vector<std::string>()> unsavedKeys) {
    auto& s = state();
    std::function<void()> replaced;  // released outside the lock: it may hold the last reference to a store
    std::function<std::vector<std::string>()> replacedKeys;  // likewise
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
            if (auto keys = s.unsavedKeys.find(path); keys != s.unsavedKeys.end()) {
                replacedKeys = std::move(keys->second);
                s.unsavedKeys.erase(keys);
            }
            if (s.failing.empty()) s.delay = kFirstRetryDelay;
        } else {
            const bool retried = bool(retry);
            said = it != s.failing.end();
            if (said) {
                replaced = std::exchange(it->second, std::move(retry));
            } else {
                s.failing.emplace(path, std::move(retry));
            }
            replacedKeys = std::exchange(s.unsavedKeys[path], std::move(unsavedKeys));
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

std::optional<std::string> PendingWrites::setAsideDamagedFile(const std::string& path) {
    auto copies = damagedCopies(path);
    // The next number after the newest copy, so numbers tell the copies' order; a name another process
    // took meanwhile is passed by, never written over.
    uint64_t number = copies.empty() ? 0 : copies.rbegin()->first + 1;
    std::string copy;
    int err = EEXIST;
    for (int tries = 0; err == EEXIST && tries < 64; ++tries, ++number) {
        copy = path + ".corrupt" + (number == 0 ? std::string() : "." + std::to_string(number));
        err = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, copy.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
    }
    if (err == ENOENT) return std::nullopt;  // gone already: set aside by another process of the device
    if (err != 0 && !isNewUnmovableFile(path)) return std::nullopt;  // said already
    Value fields = Value::dictionary({{"path", underDeviceRoot(path)}});
    if (err == 0) {
        forgetUnmovableFile(path);
        fields.set("copy", underDeviceRoot(copy));
    } else {
        fields.set("error", std::string(std::strerror(err)));
    }
    DeviceEvents::post("storage.corrupt", std::move(fields));
    if (err != 0) return std::nullopt;
    copies = damagedCopies(path);
    while (copies.size() > size_t(kKeptDamagedCopies)) {  // the oldest go
        ::unlink(copies.begin()->second.c_str());
        copies.erase(copies.begin());
    }
    return copy;
}

bool PendingWrites::isPending(const std::string& path) {
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    return s.failing.count(path) > 0;
}

std::optional<Bytes> PendingWrites::keptBytes(const std::string& path) {
    auto& s = state();
    std::shared_ptr<Slot> slot;
    {
        dispatch::MutexLock lock(s.mutex);
        auto it = s.slots.find(path);
        if (it == s.slots.end()) return std::nullopt;
        slot = it->second;
    }
    dispatch::MutexLock writing(slot->writing);
    if (slot->soon) return slot->soon->first;
    return slot->bytes;
}

size_t PendingWrites::sayUnsaved() {
    auto& s = state();
    std::vector<std::pair<std::string, std::function<std::vector<std::string>()>>> failing;
    {
        dispatch::MutexLock lock(s.mutex);
        for (const auto& [path, retry] : s.failing) {
            auto keys = s.unsavedKeys.find(path);
            failing.emplace_back(path, keys == s.unsavedKeys.end() ? nullptr : keys->second);
        }
    }
    for (const auto& [path, keys] : failing) {
        Value fields = Value::dictionary({{"path", underDeviceRoot(path)}});
        if (keys) {  // asked outside the lock: the store takes its own
            auto unsavedKeys = keys();
            fields.set("keys", Value(ValueArray(unsavedKeys.begin(), unsavedKeys.end())));
        }
        DeviceEvents::post("storage.unsaved", std::move(fields));
    }
    return failing.size();
}

void PendingWrites::flushAll() {
    auto& s = state();
    std::map<std::string, std::function<void()>> later;
    std::vector<std::function<void()>> retries;
    {
        dispatch::MutexLock lock(s.mutex);
        // A write the worker is making now has landed (or failed, and is among the retries) before this
        // returns: the application may end right after.
        if (!runningALeftWrite) s.finished.wait(s.mutex, [&]() REQUIRES(s.mutex) { return s.running == 0; });
        later.swap(s.later);
        for (const auto& [path, retry] : s.failing)
            if (retry) retries.push_back(retry);
    }
    for (auto& [path, write] : later) write();
    for (auto& retry : retries) retry();
}

PendingWrites::DelayScheduler PendingWrites::setDelayScheduler(DelayScheduler scheduler) {
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    return std::exchange(s.scheduler, std::move(scheduler));
}

bool PendingWrites::hasWorker() {
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    return bool(s.worker);
}

PendingWrites::Worker PendingWrites::setWorker(Worker worker) {
    auto& s = state();
    dispatch::MutexLock lock(s.mutex);
    return std::exchange(s.worker, std::move(worker));
}

}  // namespace platform
