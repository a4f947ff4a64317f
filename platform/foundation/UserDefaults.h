#pragma once
// UserDefaults: the preferences store. Each domain persists as a property-list file
// <deviceRoot>/Library/Preferences/<domain>.plist. The standard domain is the main bundle's identifier
// ("Tesmar" when there is none); a suite names its own domain.
//
// Lookup order: the argument domain (launch arguments "-Key value" from ProcessInfo), then the store's
// domain, then the registration domain (registerDefaults; volatile, never written).
//
// Writes go through at once: every set or removal rewrites the domain file atomically, so a value once
// set survives the process ending at any moment (once the disk has taken it: see unsavedKeys). Writes are not flushed
// to storage one by one: a power cut may lose the latest ones. Before writing, a file changed by someone else is read
// again first, so another writer's keys are kept; a file that cannot be read is never written over, and a
// damaged one (not a property-list dictionary; or a FIFO, a socket or a device, never opened) is set aside
// and said (PendingWrites::setAsideDamagedFile). A write that fails is kept and tried again until it
// reaches the disk (PendingWrites.h). synchronize()
// re-reads the file when another writer changed it (and retries a write that failed). When a domain is
// first opened, the temporary files that writers killed mid-write left beside its file are removed.
//
// Processes of one device (the app and its extension) share a suite safely: every write holds a lock
// file (<domain file>.lock) across its re-read and rename, and every read first re-reads a file that
// another writer changed. A damaged file is set aside only under the lock file, and only while it is still
// the file that was read: a reader never moves aside a whole file another process has just put in its place.
//
// Instances over the same file share one in-memory domain, as the platform's preferences cache does, so
// standard() and UserDefaults("") see each other's writes at once. Every member is safe from any thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

inline constexpr const char* kUserDefaultsFallbackDomain = "Tesmar";

class UserDefaults {
public:
    // The store of the application's own domain for the current device root and main bundle.
    static std::shared_ptr<UserDefaults> standard();

    // A store over a named suite; an empty name means the application's own domain. The name is used as a
    // file name with '/' and a leading '.' escaped, so it never reaches outside the Preferences folder.
    explicit UserDefaults(std::string_view suiteName = {});
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::string& domainName() const;
    // The domain file; "" when the device is not booted (values then live in memory only).
    const std::string& filePath() const;

    // Reads. Every typed getter answers nullopt when the key is absent or holds another type (numbers
    // follow Value's rules: an integer reads as a double and as a bool).
    std::optional<Value> objectForKey(std::string_view key) const;
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<int64_t> integerForKey(std::string_view key) const;
    std::optional<bool> boolForKey(std::string_view key) const;
    std::optional<double> doubleForKey(std::string_view key) const;
    std::optional<Bytes> dataForKey(std::string_view key) const;
    std::optional<Date> dateForKey(std::string_view key) const;
    std::optional<ValueArray> arrayForKey(std::string_view key) const;
    std::optional<ValueDictionary> dictionaryForKey(std::string_view key) const;

    // Writes. A null value removes the key. Refused (an Error, nothing changes): an empty key, a value
    // that is not a property-list value (objects, or nulls inside containers). A failed disk write is an
    // Error too, but the value stays set in memory and is written again (at the next write or synchronize,
    // after a delay, and when all pending writes are flushed) until it reaches the disk.
    Result<void> setObject(const Value& value, std::string_view key);
    Result<void> setBool(bool value, std::string_view key) { return setObject(Value(value), key); }
    Result<void> setInteger(int64_t value, std::string_view key) { return setObject(Value(value), key); }
    Result<void> setDouble(double value, std::string_view key) { return setObject(Value(value), key); }
    Result<void> setString(std::string value, std::string_view key) { return setObject(Value(std::move(value)), key); }
    Result<void> removeObjectForKey(std::string_view key);
    // Reads the stored value (nullopt when absent), and stores what `update` answers (null removes the
    // key), as one step that no other writer, in this process or another, can come between. Answers the
    // stored value; refused as setObject refuses. `update` runs with the domain locked: it must not use
    // this domain itself.
    Result<Value> updateObjectForKey(std::string_view key,
                                     const std::function<Value(const std::optional<Value>&)>& update);
    // Removes several keys of this domain with one write.
    Result<void> removeObjectsForKeys(const std::vector<std::string>& keys);

    // The keys and values stored in this domain only (no arguments, no registrations).
    std::vector<std::string> persistentDomainKeys() const;
    ValueDictionary persistentDomain() const;
    // The keys whose latest change (a value, or a removal) has not reached the domain file yet, sorted.
    std::vector<std::string> unsavedKeys() const;

    // Values consulted last; merged into what was registered before. Not persisted.
    void registerDefaults(const ValueDictionary& defaults);
    // Every visible key with its winning value.
    ValueDictionary dictionaryRepresentation() const;

    // Writes pending changes and picks up what another writer put in the file. false on a write failure.
    bool synchronize();

    // Parses launch arguments into the argument domain: "-Name value" pairs. Values "YES"/"NO" and
    // "true"/"false" become bools, integer and decimal literals numbers, text starting with '<' a property
    // list when it parses; anything else stays a string.
    static ValueDictionary argumentDomain(const std::vector<std::string>& arguments);

    struct Domain;  // shared per file (internal)

private:
    std::shared_ptr<Domain> domain_;
};

// Takes the result of a change whose failure the caller has nothing to add to: the store keeps the
// change, says the failure once (storage.failed) and writes it again until it lands.
template <class T>
void retriedByStore(const Result<T>&) {}

}  // namespace platform
