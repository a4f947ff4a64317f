#include "zidedova_core/utilities/ZUTUserDefaults.h"

#include <atomic>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Preferences.h"
#include "platform/foundation/PropertyList.h"
#include "zidedova_core/utilities/ZUTLogger.h"

namespace zidedova {

using platform::Value;

namespace {

constexpr double kSynchronizeDelay = 1.0;

std::string makeFlushKey() {
    static std::atomic<uint64_t> next{0};
    return "ZUTUserDefaults.synchronize." + std::to_string(next.fetch_add(1));
}

void synchronizeDomain(const std::string& appName) {
    if (!platform::CFPreferencesAppSynchronize(appName))
        ZUTLoggerLogError("[VodezuUtilities/UserDefaults]", false, "I-ZUT000004",
                          "Cannot synchronize user defaults to disk");
}

}  // namespace

ZUTUserDefaults& ZUTUserDefaults::standardUserDefaults() {
    static auto* shared = new ZUTUserDefaults();  // for the life of the process
    return *shared;
}

ZUTUserDefaults::ZUTUserDefaults(std::string_view suiteName)
    : appName_(suiteName.empty() ? std::string(platform::kCFPreferencesCurrentApplication) : std::string(suiteName)),
      flushKey_(makeFlushKey()) {}

ZUTUserDefaults::~ZUTUserDefaults() {
    if (platform::dispatch::MainLoop::shared().cancel(flushKey_) > 0) synchronizeDomain(appName_);
}

std::optional<Value> ZUTUserDefaults::objectForKey(std::string_view key) const {
    if (key.empty()) {
        ZUTLoggerLogWarning("<VodezuUtilities>", false, "I-ZUT000001",
                            "Cannot get object for invalid user default key.");
        return std::nullopt;
    }
    return platform::CFPreferencesCopyAppValue(key, appName_);
}

bool ZUTUserDefaults::setObject(const std::optional<Value>& object, std::string_view key) {
    if (key.empty()) {
        ZUTLoggerLogWarning("[VodezuUtilities/UserDefaults]", false, "I-ZUT000002",
                            "Cannot set object for invalid user default key.");
        return false;
    }
    if (object && !object->isNull() && !platform::plist::isPropertyListValue(*object)) {
        ZUTLoggerLogWarning("[VodezuUtilities/UserDefaults]", false, "I-ZUT000003",
                            "Cannot set invalid object to user defaults. Must be a string, number, array, "
                            "dictionary, date, or data. Value: %@",
                            *object);
        return false;
    }
    const bool stored = platform::CFPreferencesSetAppValue(key, object, appName_);
    scheduleSynchronize();
    return stored;
}

std::optional<std::string> ZUTUserDefaults::stringForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v || !v->isString()) return std::nullopt;
    return *v->asString();
}

std::optional<platform::ValueArray> ZUTUserDefaults::arrayForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v || !v->isArray()) return std::nullopt;
    return *v->asArray();
}

std::optional<platform::ValueDictionary> ZUTUserDefaults::dictionaryForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v || !v->isDictionary()) return std::nullopt;
    return *v->asDictionary();
}

// Numbers and bools read as numbers, as stored numbers do; anything else reads as zero.
int64_t ZUTUserDefaults::integerForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v ? v->asInteger().value_or(0) : 0;
}

float ZUTUserDefaults::floatForKey(std::string_view key) const { return float(doubleForKey(key)); }

double ZUTUserDefaults::doubleForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (v->isBool()) return *v->asBool() ? 1 : 0;
    return v->asDouble().value_or(0);
}

bool ZUTUserDefaults::boolForKey(std::string_view key) const {
    auto v = objectForKey(key);
    return v ? v->asBool().value_or(false) : false;
}

void ZUTUserDefaults::synchronize() { synchronizeDomain(appName_); }

void ZUTUserDefaults::clearAllData() {
    std::vector<std::string> keys = platform::CFPreferencesCopyKeyList(appName_);
    if (keys.empty()) return;
    platform::CFPreferencesSetMultiple({}, keys, appName_);
    scheduleSynchronize();
}

void ZUTUserDefaults::scheduleSynchronize() {
    // On the main loop rather than the calling thread's: queue threads have no run loop that would fire it.
    auto& loop = platform::dispatch::MainLoop::shared();
    platform::dispatch::MutexLock lock(scheduleMutex_);
    loop.cancel(flushKey_);
    loop.postAfter(
        kSynchronizeDelay, [appName = appName_] { synchronizeDomain(appName); }, flushKey_);
}

}  // namespace zidedova
