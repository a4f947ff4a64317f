#pragma once
// ZUTUserDefaults: a preferences store over the platform's preferences functions, for the application's
// own domain or a named suite. Writes are visible to reads at once; they are flushed to disk in batches:
// every write (re)schedules one synchronise on the main loop 1 s later, so a burst of writes ends in one
// flush about 1 s after the last of them. A store released with a flush pending flushes at once.
//
// Only property-list values are stored (string, number, bool, date, data, and arrays and dictionaries
// of those, checked at every depth). Refusals are logged with their codes and change nothing.
//
// Any thread may use a store; it holds no state of its own besides its domain name.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Value.h"

namespace zidedova {

class ZUTUserDefaults {
public:
    // The application's own domain, made once.
    static ZUTUserDefaults& standardUserDefaults();

    // An empty name means the application's own domain.
    explicit ZUTUserDefaults(std::string_view suiteName = {});
    ~ZUTUserDefaults();
    ZUTUserDefaults(const ZUTUserDefaults&) = delete;
    ZUTUserDefaults& operator=(const ZUTUserDefaults&) = delete;

    // The preferences application identifier: the suite name, or the current-application constant.
    const std::string& appNameRef() const { return appName_; }

    // nullopt (and code 1) for an empty key.
    std::optional<platform::Value> objectForKey(std::string_view key) const;
    // A null or absent value removes the key. false when refused: an empty key (code 2) or a value that
    // is not a property list (code 3).
    bool setObject(const std::optional<platform::Value>& object, std::string_view key);
    void removeObjectForKey(std::string_view key) { setObject(std::nullopt, key); }

    // Typed reads: nullopt, 0 or false when the key is absent or holds another type.
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<platform::ValueArray> arrayForKey(std::string_view key) const;
    std::optional<platform::ValueDictionary> dictionaryForKey(std::string_view key) const;
    int64_t integerForKey(std::string_view key) const;
    float floatForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    bool boolForKey(std::string_view key) const;

    void setInteger(int64_t value, std::string_view key) { setObject(platform::Value(value), key); }
    void setFloat(float value, std::string_view key) { setObject(platform::Value(double(value)), key); }
    void setDouble(double value, std::string_view key) { setObject(platform::Value(value), key); }
    void setBool(bool value, std::string_view key) { setObject(platform::Value(value), key); }

    // Writes the domain to disk now (code 4 when that fails).
    void synchronize();
    // Removes every key of the domain; nothing (and no flush) when it is empty.
    void clearAllData();
    // Replaces any pending flush of this store with one 1 s from now.
    void scheduleSynchronize();

    // Kept for callers; nothing here acts on it.
    bool isPreferenceFileExcluded() const { return isPreferenceFileExcluded_; }
    void setIsPreferenceFileExcluded(bool excluded) { isPreferenceFileExcluded_ = excluded; }

private:
    const std::string appName_;
    const std::string flushKey_;               // the main-loop key of this store's pending flush
    platform::dispatch::Mutex scheduleMutex_;  // makes cancel-then-post one step, so racing writers leave one flush
    bool isPreferenceFileExcluded_ = false;
};

}  // namespace zidedova
