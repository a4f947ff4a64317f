#include "platform/foundation/UserDefaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <map>
#include <optional>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/internal/FileFaults.h"
#include "platform/foundation/internal/FileSignature.h"

namespace platform {

namespace {

constexpr size_t kMaxDomainFileBytes = 16 * 1024 * 1024;

using detail::FileSignature;
using detail::signatureAt;
using detail::signatureOf;

// A domain name as a file name that stays inside the Preferences folder.
std::string fileNameFor(const std::string& domain) {
    std::string out;
    for (size_t i = 0; i < domain.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(domain[i]);
        if (c == '/' || c == '%' || c == 0 || (i == 0 && c == '.')) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out + ".plist";
}

// A typed getter's answer: a copy of what the checked accessor found (nothing for another type).
template <class T>
std::optional<T> copied(const T* found) {
    return found ? std::optional<T>(*found) : std::nullopt;
}

std::string standardDomainName() {
    auto id = Bundle::mainBundle()->bundleIdentifier();
    return id && !id->empty() ? *id : std::string(kUserDefaultsFallbackDomain);
}

std::string domainPath(const std::string& name) {
    auto dir = FileManager::defaultManager().directory(SearchPathDirectory::Preferences);
    return dir ? *dir + "/" + fileNameFor(name) : std::string();
}

Value argumentValue(const std::string& text) {
    if (text == "YES" || text == "true") return Value(true);
    if (text == "NO" || text == "false") return Value(false);
    const char* begin = text.data();
    const char* end = begin + text.size();
    int64_t i = 0;
    if (auto [p, ec] = std::from_chars(begin, end, i); ec == std::errc() && p == end && !text.empty()) return Value(i);
    double d = 0;
    if (auto [p, ec] = std::from_chars(begin, end, d, std::chars_format::fixed);
        ec == std::errc() && p == end && !text.empty())
        return Value(d);
    if (!text.empty() && text.front() == '<') {
        if (auto parsed = plist::read(text, 1024 * 1024); parsed) return std::move(*parsed);
    }
    return Value(text);
}

}  // namespace

struct UserDefaults::Domain : std::enable_shared_from_this<UserDefaults::Domain> {
    using Changes = std::map<std::string, std::optional<Value>, std::less<>>;

    std::string name;
    std::string path;  // "" when the device is not booted
    // The application's own domain, which no other process writes: its changes reach the disk on the worker,
    // soon after they are made (PendingWrites::writeLater), not on the thread that made them.
    bool behind = false;
    mutable dispatch::Mutex mutex;
    ValueDictionary values GUARDED_BY(mutex);
    ValueDictionary registration GUARDED_BY(mutex);
    // Changes not yet confirmed on disk: key -> new value (nullopt = removed).
    Changes pending GUARDED_BY(mutex);
    FileSignature seen GUARDED_BY(mutex);

    // Reads the file when it differs from what we last read or wrote; an Error when it could not be read.
    // `lockHeld`: the caller holds the lock file.
    Result<void> refreshIfChanged(bool lockHeld) REQUIRES(mutex) {
        if (path.empty()) return {};
        FileSignature now = signatureAt(path);
        if (now == seen) return {};
        auto loaded = load(lockHeld);
        for (auto& [key, value] : pending) {
            if (value)
                values[key] = *value;
            else
                values.erase(key);
        }
        return loaded;
    }

    // refreshIfChanged() for readers and before changes: a file that cannot be read now leaves the values
    // as they were, and the next use reads it again.
    void catchUp(bool lockHeld) REQUIRES(mutex) { (void)refreshIfChanged(lockHeld); }

    // Takes the file's values and signature only once it was read whole: a failed read keeps what the domain
    // had, so the next write cannot put out a file missing every other key.
    Result<void> load(bool lockHeld) REQUIRES(mutex) {
        auto unreadable = [&](int err) -> Result<void> {
            return Error(kCocoaErrorDomain, kFileReadUnknownError,
                         Value::dictionary({{kFilePathErrorKey, path},
                                            {kUnderlyingErrorKey, Value::dictionary({{"domain", kPOSIXErrorDomain},
                                                                                     {"code", int64_t(err)}})}}));
        };
        auto& files = FileManager::defaultManager();
        auto handle = files.openFile(path, O_RDONLY);
        struct stat st;
        if (!handle) {
            if (handle.error().code == kFileReadNoSuchFileError) {
                values.clear();
                seen = {};
                return {};
            }
            // A FIFO, a socket or a device holds nothing the store wrote: set aside as a damaged file is
            // (unless a whole file has just taken its place: the next use reads that).
            if (FileManager::isSpecialFile(handle.error()) && ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
                return setAside(st, lockHeld);
            if (files.isDirectory(path)) {  // not ours to move aside; the next write reports the problem
                values.clear();
                seen = signatureAt(path);
                return {};
            }
            return handle.error();
        }
        const int fd = handle->fd();
        if (::fstat(fd, &st) != 0) return unreadable(errno);
        Bytes bytes;
        bool tooLarge = uint64_t(st.st_size) > kMaxDomainFileBytes;
        if (!tooLarge) {
            if (int injected = detail::injectedReadFault(path)) return unreadable(injected);
            uint8_t buffer[16 * 1024];
            for (;;) {
                ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) return unreadable(errno);  // keep the file, and what we had, as they are
                if (n == 0) break;
                bytes.insert(bytes.end(), buffer, buffer + n);
                if (bytes.size() > kMaxDomainFileBytes) {
                    tooLarge = true;
                    break;
                }
            }
        }
        auto parsed = tooLarge ? Result<Value>(Error(kCocoaErrorDomain, kFileReadTooLargeError))
                               : plist::read(bytes, kMaxDomainFileBytes);
        if (parsed && parsed->isDictionary()) {
            values = std::move(*parsed->asDictionary());
            seen = signatureOf(st);
            return {};
        }
        return setAside(st, lockHeld);
    }

    // Keeps the damaged file just read (`read`) aside instead of overwriting it at the next write. Another
    // process of the device may put a whole file in its place at any moment, under the lock file: so the
    // file is moved only by a holder of the lock file, and only while it is still the one that was read.
    // A lock file that cannot be opened at all (a folder in its place, no descriptor left) serialises
    // nothing, and the move goes on without it as writes then do, still only while it is the file read.
    Result<void> setAside(const struct stat& read, bool lockHeld) REQUIRES(mutex) {
        values.clear();
        seen = {};  // read again at the next use
        std::optional<FileLock> taken;
        if (!lockHeld) {
            // Not waited for: a thread of this process may hold it while it waits for this domain's mutex.
            taken.emplace(lockPath(), 0.0);
            if (taken->busy()) return {};  // its holder writes or reads the file again, or the next use does
            if (signatureAt(path) != signatureOf(read)) return load(taken->locked());  // replaced meanwhile
        }
        (void)PendingWrites::setAsideDamagedFile(path);
        return {};
    }

    // Writes the domain, first taking in what another writer put in the file; a file that cannot be read
    // is not written over (its other keys would be lost) and counts as a failed write. Caller holds the
    // lock file too, when it could be taken (`lockHeld`).
    Result<void> write(bool lockHeld) REQUIRES(mutex) {
        if (path.empty()) {
            pending.clear();
            return {};
        }
        auto refreshed = refreshIfChanged(lockHeld);
        if (!refreshed) return settle(refreshed, nullptr);
        auto bytes = plist::write(Value(values), plist::Format::Binary);
        if (!bytes) return bytes.error();
        return settle(land(*bytes), nullptr);
    }

    Result<void> land(const Bytes& bytes) const {
        // Not flushed to storage: launches write preferences many times over, and each flush would hold
        // the caller until the disk answered. The rename alone keeps every reader, in this process or
        // another, on a whole file, and the value outlives the process as soon as this returns.
        return FileManager::defaultManager().writeAtomically(path, bytes, 0600, FileManager::Flush::Deferred);
    }

    // After a write: the changes it held (`landed`; null: every pending one) are on disk when it went well.
    // A change made while the file was being written stays pending: its own write is on its way.
    Result<void> settle(Result<void> outcome, const Changes* landed) REQUIRES(mutex) {
        if (outcome) {
            seen = signatureAt(path);
            if (!landed)
                pending.clear();
            else
                for (const auto& [key, value] : *landed)
                    if (auto it = pending.find(key); it != pending.end() && it->second == value) pending.erase(it);
        }
        if (outcome)
            PendingWrites::report(path, outcome, nullptr);
        else
            PendingWrites::report(
                path, outcome, [self = shared_from_this()] { self->retry(); },
                [self = shared_from_this()] { return self->pendingKeys(); });
        return outcome;
    }

    std::vector<std::string> pendingKeys() const {
        dispatch::MutexLock lock(mutex);
        std::vector<std::string> keys;
        for (const auto& [key, value] : pending) keys.push_back(key);
        return keys;
    }

    // Writes what is still pending, as the next change would. The file is written outside the mutex, so
    // that readers on other threads (the main thread, while the application launches) never wait for the
    // disk; the lock file keeps every other writer out from the read of the values to the rename.
    void retry() {
        FileLock fileLock = lockFile();
        Bytes bytes;
        Changes landed;
        {
            dispatch::MutexLock lock(mutex);
            auto refreshed = refreshIfChanged(fileLock.locked());
            if (refreshed && pending.empty()) {
                PendingWrites::report(path, {}, nullptr);
                return;
            }
            if (!refreshed || !fileLock.locked()) {
                // write() says that the file cannot be read; without the lock file, writing under the mutex
                // is what keeps this process's writers in order.
                (void)write(fileLock.locked());
                return;
            }
            auto encoded = plist::write(Value(values), plist::Format::Binary);
            if (!encoded) return;  // as in write(): nothing to put on disk
            bytes = std::move(*encoded);
            landed = pending;
        }
        auto outcome = land(bytes);
        dispatch::MutexLock lock(mutex);
        (void)settle(outcome, &landed);  // a failure is said and retried by settle() itself
    }

    // Other processes of the device (an extension) write the same file: the lock is held across the
    // re-read and the rename, so neither writer's change is lost. Taken before the domain's mutex.
    FileLock lockFile() const { return FileLock(lockPath()); }
    std::string lockPath() const { return path.empty() ? std::string() : path + ".lock"; }
    // What a change takes before the mutex: the lock file, when the change is written at once.
    void lockForChange(std::optional<FileLock>& held) const {
        if (!behind) held.emplace(lockPath());
    }
    static bool isHeld(const std::optional<FileLock>& lock) { return lock && lock->locked(); }

    // Takes a change in; false when the file already says this and nothing of ours waits to be written.
    bool apply(std::string key, std::optional<Value> value, bool lockHeld) REQUIRES(mutex) {
        if (refreshIfChanged(lockHeld) && pending.empty() && seen.exists) {
            auto it = values.find(key);
            if (value ? it != values.end() && it->second == *value : it == values.end()) return false;
        }
        if (value)
            values[key] = *value;
        else
            values.erase(key);
        pending[std::move(key)] = std::move(value);
        return true;
    }

    // Sends what is pending to the disk: now (under the lock file when `lockHeld`), or, for the
    // application's own domain, on the worker.
    Result<void> save(bool lockHeld) REQUIRES(mutex) {
        if (!behind || path.empty()) return write(lockHeld);
        if (!pending.empty()) PendingWrites::writeLater(path, [self = shared_from_this()] { self->retry(); });
        return {};
    }

    Result<void> change(std::string key, std::optional<Value> value, bool lockHeld) REQUIRES(mutex) {
        if (!apply(std::move(key), std::move(value), lockHeld)) return {};
        return save(lockHeld);
    }
};

namespace {

struct Registry {
    dispatch::Mutex mutex;
    std::map<std::string, std::weak_ptr<UserDefaults::Domain>> domains GUARDED_BY(mutex);
    std::shared_ptr<UserDefaults> standard GUARDED_BY(mutex);
};

Registry& registry() {
    static Registry* r = new Registry;  // used from threads that may outlive static teardown
    return *r;
}

std::shared_ptr<UserDefaults::Domain> domainFor(const std::string& name) {
    std::string path = domainPath(name);
    std::string key = path.empty() ? "memory:" + name : path;
    auto& r = registry();
    dispatch::MutexLock lock(r.mutex);
    if (auto existing = r.domains[key].lock()) return existing;
    std::erase_if(r.domains, [](const auto& entry) { return entry.second.expired(); });
    auto domain = std::make_shared<UserDefaults::Domain>();
    domain->name = name;
    domain->path = path;
    // Only with a worker to write it: without one the write would run at once, under the domain's own lock.
    domain->behind = name == standardDomainName() && PendingWrites::hasWorker();
    // Before the first write there is no folder, so nothing to read or sweep (nor a lock file to make).
    if (!path.empty() && FileManager::defaultManager().isDirectory(path.substr(0, path.find_last_of('/')))) {
        FileLock fileLock = domain->lockFile();
        dispatch::MutexLock dlock(domain->mutex);
        FileManager::defaultManager().removeStaleTemporaryFiles(path);
        (void)domain->load(fileLock.locked());  // an unreadable file is read again at the next use
    }
    r.domains[key] = domain;
    return domain;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    std::string name = standardDomainName();
    std::string path = domainPath(name);
    auto& r = registry();
    {
        dispatch::MutexLock lock(r.mutex);
        if (r.standard && r.standard->domainName() == name && r.standard->filePath() == path) return r.standard;
    }
    auto made = std::make_shared<UserDefaults>();
    dispatch::MutexLock lock(r.mutex);
    if (!(r.standard && r.standard->domainName() == name && r.standard->filePath() == path)) r.standard = made;
    return r.standard;
}

UserDefaults::UserDefaults(std::string_view suiteName)
    : domain_(domainFor(suiteName.empty() ? standardDomainName() : std::string(suiteName))) {}

UserDefaults::~UserDefaults() {
    // A suite's changes were written when made, and one whose write failed gets one more try; the
    // application's own domain's changes are on their way to the worker, which holds the domain.
    if (domain_->behind) return;
    {
        dispatch::MutexLock lock(domain_->mutex);
        if (domain_->pending.empty()) return;
    }
    FileLock fileLock = domain_->lockFile();
    dispatch::MutexLock lock(domain_->mutex);
    (void)domain_->write(fileLock.locked());  // a failure is said and retried by write() itself
}

const std::string& UserDefaults::domainName() const { return domain_->name; }
const std::string& UserDefaults::filePath() const { return domain_->path; }

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const {
    if (key.empty()) return std::nullopt;
    ValueDictionary arguments = argumentDomain(ProcessInfo::processInfo().arguments());
    if (auto it = arguments.find(key); it != arguments.end()) return it->second;
    dispatch::MutexLock lock(domain_->mutex);
    domain_->catchUp(false);
    if (auto it = domain_->values.find(key); it != domain_->values.end()) return it->second;
    if (auto it = domain_->registration.find(key); it != domain_->registration.end()) return it->second;
    return std::nullopt;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v ? copied(v->asString()) : std::nullopt;
}

std::optional<int64_t> UserDefaults::integerForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v || !(v->isNumber() || v->isBool())) return std::nullopt;
    return v->asInteger();
}

std::optional<bool> UserDefaults::boolForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v || !(v->isNumber() || v->isBool())) return std::nullopt;
    return v->asBool();
}

std::optional<double> UserDefaults::doubleForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v || !v->isNumber()) return std::nullopt;
    return v->asDouble();
}

std::optional<Bytes> UserDefaults::dataForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v ? copied(v->asData()) : std::nullopt;
}

std::optional<Date> UserDefaults::dateForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v ? v->asDate() : std::nullopt;
}

std::optional<ValueArray> UserDefaults::arrayForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v ? copied(v->asArray()) : std::nullopt;
}

std::optional<ValueDictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v ? copied(v->asDictionary()) : std::nullopt;
}

Result<void> UserDefaults::setObject(const Value& value, std::string_view key) {
    if (key.empty())
        return Error::withDescription(kCocoaErrorDomain, kFileWriteInvalidFileNameError,
                                      "Cannot set object for invalid user default key.");
    if (value.isNull()) return removeObjectForKey(key);
    if (!plist::isPropertyListValue(value))
        return Error::withDescription(kCocoaErrorDomain, plist::kWriteInvalidError,
                                      "Cannot set invalid object to user defaults. Must be a string, number, "
                                      "array, dictionary, date, or data. Value: " +
                                          value.description());
    // A value the domain's file cannot hold (a string with NUL, a NaN, a date out of range) is refused
    // now: taken in, it would make every later write of the domain fail, and lose them at exit.
    if (auto encoded = plist::write(value, plist::Format::Binary); !encoded)
        return Error::withDescription(kCocoaErrorDomain, plist::kWriteInvalidError,
                                      "Cannot set invalid object to user defaults: " +
                                          encoded.error().localizedDescription());
    std::optional<FileLock> fileLock;
    domain_->lockForChange(fileLock);
    dispatch::MutexLock lock(domain_->mutex);
    return domain_->change(std::string(key), value, Domain::isHeld(fileLock));
}

Result<void> UserDefaults::removeObjectForKey(std::string_view key) {
    if (key.empty())
        return Error::withDescription(kCocoaErrorDomain, kFileWriteInvalidFileNameError,
                                      "Cannot set object for invalid user default key.");
    std::optional<FileLock> fileLock;
    domain_->lockForChange(fileLock);
    dispatch::MutexLock lock(domain_->mutex);
    domain_->catchUp(Domain::isHeld(fileLock));
    if (domain_->values.find(key) == domain_->values.end()) return {};
    return domain_->change(std::string(key), std::nullopt, Domain::isHeld(fileLock));
}

Result<void> UserDefaults::removeObjectsForKeys(const std::vector<std::string>& keys) {
    std::optional<FileLock> fileLock;
    domain_->lockForChange(fileLock);
    dispatch::MutexLock lock(domain_->mutex);
    domain_->catchUp(Domain::isHeld(fileLock));
    bool changed = false;
    for (const auto& key : keys) {
        if (domain_->values.erase(key) > 0) {
            domain_->pending[key] = std::nullopt;
            changed = true;
        }
    }
    if (!changed) return {};
    return domain_->save(Domain::isHeld(fileLock));
}

std::vector<std::string> UserDefaults::persistentDomainKeys() const {
    dispatch::MutexLock lock(domain_->mutex);
    domain_->catchUp(false);
    std::vector<std::string> keys;
    for (const auto& [key, value] : domain_->values) keys.push_back(key);
    return keys;
}

ValueDictionary UserDefaults::persistentDomain() const {
    dispatch::MutexLock lock(domain_->mutex);
    domain_->catchUp(false);
    return domain_->values;
}

std::vector<std::string> UserDefaults::unsavedKeys() const { return domain_->pendingKeys(); }

void UserDefaults::registerDefaults(const ValueDictionary& defaults) {
    dispatch::MutexLock lock(domain_->mutex);
    for (const auto& [key, value] : defaults) domain_->registration[key] = value;
}

ValueDictionary UserDefaults::dictionaryRepresentation() const {
    ValueDictionary all;
    {
        dispatch::MutexLock lock(domain_->mutex);
        domain_->catchUp(false);
        all = domain_->registration;
        for (const auto& [key, value] : domain_->values) all[key] = value;
    }
    for (auto& [key, value] : argumentDomain(ProcessInfo::processInfo().arguments())) all[key] = std::move(value);
    return all;
}

bool UserDefaults::synchronize() {
    {
        dispatch::MutexLock lock(domain_->mutex);
        domain_->catchUp(false);
        if (domain_->pending.empty()) return true;
        // On the worker's way already: only a write that failed and has not landed since is owned up to.
        if (domain_->behind) return domain_->save(false).ok() && !PendingWrites::isPending(domain_->path);
    }
    FileLock fileLock = domain_->lockFile();
    dispatch::MutexLock lock(domain_->mutex);
    return domain_->write(fileLock.locked()).ok();
}

Result<Value> UserDefaults::updateObjectForKey(std::string_view key,
                                               const std::function<Value(const std::optional<Value>&)>& update) {
    if (key.empty())
        return Error::withDescription(kCocoaErrorDomain, kFileWriteInvalidFileNameError,
                                      "Cannot set object for invalid user default key.");
    FileLock fileLock = domain_->lockFile();  // no other writer between the read and the write, even later
    dispatch::MutexLock lock(domain_->mutex);
    domain_->catchUp(fileLock.locked());
    std::optional<Value> current;
    if (auto it = domain_->values.find(key); it != domain_->values.end()) current = it->second;
    Value next = update(current);
    if (!next.isNull()) {
        if (!plist::isPropertyListValue(next) || !plist::write(next, plist::Format::Binary))
            return Error::withDescription(kCocoaErrorDomain, plist::kWriteInvalidError,
                                          "Cannot set invalid object to user defaults.");
    } else if (!current) {
        return next;
    }
    if (!domain_->apply(std::string(key), next.isNull() ? std::nullopt : std::optional<Value>(next), fileLock.locked()))
        return next;
    // Now, even for the application's own domain: the step must stay whole.
    auto written = domain_->write(fileLock.locked());
    if (!written) return written.error();
    return next;
}

ValueDictionary UserDefaults::argumentDomain(const std::vector<std::string>& arguments) {
    ValueDictionary out;
    auto isOption = [](const std::string& s) {
        return s.size() > 1 && s[0] == '-' && std::isalpha(static_cast<unsigned char>(s[1]));
    };
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (!isOption(arguments[i])) continue;
        if (i + 1 >= arguments.size() || isOption(arguments[i + 1])) continue;
        out[arguments[i].substr(1)] = argumentValue(arguments[i + 1]);
        ++i;
    }
    return out;
}

}  // namespace platform
