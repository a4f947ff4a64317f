#include "platform/foundation/Preferences.h"

#include <atomic>
#include <map>
#include <memory>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/UserDefaults.h"

namespace platform {

namespace {

std::atomic<size_t> gSynchronizeCalls{0};

// Suite stores are kept so that each call does not read the domain file again. Keyed by the device
// root too: tests boot a fresh device per test.
std::shared_ptr<UserDefaults> storeFor(std::string_view applicationID) {
    if (applicationID.empty() || applicationID == kCFPreferencesCurrentApplication) return UserDefaults::standard();
    static dispatch::Mutex mutex;
    static auto* stores = new std::map<std::pair<std::string, std::string>, std::shared_ptr<UserDefaults>>;
    auto home = FileManager::defaultManager().homeDirectory();
    std::pair<std::string, std::string> key{home.ok() ? *home : std::string(), std::string(applicationID)};
    dispatch::MutexLock lock(mutex);
    auto& store = (*stores)[key];
    if (!store) store = std::make_shared<UserDefaults>(applicationID);
    return store;
}

}  // namespace

std::optional<Value> CFPreferencesCopyAppValue(std::string_view key, std::string_view applicationID) {
    if (key.empty()) return std::nullopt;
    return storeFor(applicationID)->objectForKey(key);
}

bool CFPreferencesSetAppValue(std::string_view key, const std::optional<Value>& value, std::string_view applicationID) {
    if (key.empty()) return false;
    auto store = storeFor(applicationID);
    if (!value || value->isNull()) return store->removeObjectForKey(key).ok();
    return store->setObject(*value, key).ok();
}

bool CFPreferencesSetMultiple(const ValueDictionary& keysToSet, const std::vector<std::string>& keysToRemove,
                              std::string_view applicationID) {
    auto store = storeFor(applicationID);
    bool ok = true;
    for (const auto& [key, value] : keysToSet) ok = store->setObject(value, key).ok() && ok;
    if (!keysToRemove.empty()) ok = store->removeObjectsForKeys(keysToRemove).ok() && ok;
    return ok;
}

std::vector<std::string> CFPreferencesCopyKeyList(std::string_view applicationID) {
    return storeFor(applicationID)->persistentDomainKeys();
}

bool CFPreferencesAppSynchronize(std::string_view applicationID) {
    gSynchronizeCalls.fetch_add(1);
    return storeFor(applicationID)->synchronize();
}

size_t CFPreferencesAppSynchronizeCallCount() { return gSynchronizeCalls.load(); }

}  // namespace platform
