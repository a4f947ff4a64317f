#include "zidedova_core/VIVUzorivu.h"

#include <atomic>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/ResetRegistry.h"
#include "zidedova_core/ZDVBundleUtil.h"
#include "zidedova_core/ZDVException.h"
#include "zidedova_core/ZDVLogger.h"
#include "zidedova_core/ZODOzi.h"

namespace zidedova {

namespace {

constexpr const char* kLockedReason =
    "Attempted to modify options after it's set on ZODOzi. Please modify all properties before initializing "
    "ZODOzi.";
const char* const kAnalyticsKeys[] = {"IS_MEASUREMENT_ENABLED", "ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED",
                                      "ZIDEDOVA_ANALYTICS_COLLECTION_DEACTIVATED"};

struct DefaultCache {
    platform::dispatch::Mutex mutex;
    std::shared_ptr<VIVUzorivu> options GUARDED_BY(mutex);
    std::optional<platform::ValueDictionary> dictionary GUARDED_BY(mutex);
};
platform::dispatch::Mutex gClassInitMutex;
std::atomic<bool> gClassInitialized{false};

// Forgets the cached default options and the class's first use.
void addOptionsReset() {
    platform::ResetRegistry::add("zidedova.options", [] {
        VIVUzorivu::resetDefaultOptions();
        platform::dispatch::MutexLock lock(gClassInitMutex);
        gClassInitialized = false;
    });
}

DefaultCache& defaults() {
    static DefaultCache* c = [] {
        addOptionsReset();
        return new DefaultCache();
    }();
    return *c;
}

bool isBoolNumber(const platform::Value& v) { return v.isBool() || v.isNumber(); }

// "50107000" -> "5.1.7"
std::string versionFromID(const std::string& id) {
    if (id.size() < 5) return id;
    int minor = std::stoi(id.substr(1, 2));
    int patch = std::stoi(id.substr(3, 2));
    return id.substr(0, 1) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

}  // namespace

void VIVUzorivu::ensureClassInitialized() {
    if (gClassInitialized.load(std::memory_order_acquire)) return;
    platform::dispatch::MutexLock lock(gClassInitMutex);
    if (gClassInitialized.load()) return;
    ZODOzi::registerLibrary("zdv-ios", versionFromID(kZDVLibraryVersionID));
    auto bundle = platform::Bundle::mainBundle();
    if (const auto* xcode = bundle->objectForInfoDictionaryKey("DTXcodeBuild"); xcode && xcode->isString())
        ZODOzi::registerLibrary("xcode", *xcode->asString());
    if (const auto* sdk = bundle->objectForInfoDictionaryKey("DTSDKBuild"); sdk && sdk->isString())
        ZODOzi::registerLibrary("apple-sdk", *sdk->asString());
    addOptionsReset();
    gClassInitialized.store(true, std::memory_order_release);
}

std::optional<platform::ValueDictionary> VIVUzorivu::defaultOptionsDictionary() {
    ensureClassInitialized();
    auto& c = defaults();
    platform::dispatch::MutexLock lock(c.mutex);
    if (c.dictionary) return c.dictionary;
    auto path = ZDVBundleUtil::optionsDictionaryPath(kZDVOptionsResourceName, kZDVOptionsResourceType,
                                                     ZDVBundleUtil::relevantBundles());
    if (!path) {
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000012", "Could not locate configuration file: '%@.%@'.",
                          kZDVOptionsResourceName, kZDVOptionsResourceType);
        return std::nullopt;
    }
    auto read = platform::plist::readFile(*path);
    if (!read.ok() || !read->isDictionary()) {
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000011", "The configuration file is not a dictionary: '%@.%@'.",
                          kZDVOptionsResourceName, kZDVOptionsResourceType);
        return std::nullopt;
    }
    c.dictionary = *read->asDictionary();
    return c.dictionary;
}

std::shared_ptr<VIVUzorivu> VIVUzorivu::defaultOptions() {
    {
        platform::dispatch::MutexLock lock(defaults().mutex);
        if (defaults().options) return defaults().options;
    }
    auto dictionary = defaultOptionsDictionary();
    if (!dictionary) return nullptr;
    auto& c = defaults();
    platform::dispatch::MutexLock lock(c.mutex);
    if (!c.options) c.options = std::make_shared<VIVUzorivu>(*dictionary, true);
    return c.options;
}

void VIVUzorivu::resetDefaultOptions() {
    auto& c = defaults();
    platform::dispatch::MutexLock lock(c.mutex);
    c.options.reset();
    c.dictionary.reset();
}

std::shared_ptr<VIVUzorivu> VIVUzorivu::withContentsOfFile(const std::optional<std::string>& path) {
    ensureClassInitialized();
    if (!path) {
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000013", "The plist file path is nil.");
        return nullptr;
    }
    auto read = platform::plist::readFile(*path);
    if (!read.ok() || !read->isDictionary()) {
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000014",
                          "The configuration file at %@ does not exist or is not a well-formed plist file.", *path);
        return nullptr;
    }
    return std::make_shared<VIVUzorivu>(*read->asDictionary(), false);
}

std::shared_ptr<VIVUzorivu> VIVUzorivu::withVodezuAppID(const std::optional<std::string>& appID,
                                                        const std::optional<std::string>& senderID) {
    ensureClassInitialized();
    platform::ValueDictionary d;
    if (appID) d["VODEZU_APP_ID"] = *appID;
    if (senderID) d["VEV_SENDER_ID"] = *senderID;
    if (auto bundleID = platform::Bundle::mainBundle()->bundleIdentifier()) d["BUNDLE_ID"] = *bundleID;
    return std::make_shared<VIVUzorivu>(std::move(d), false);
}

VIVUzorivu::VIVUzorivu(platform::ValueDictionary dictionary, bool fromDefaultPlist)
    : dictionary_(std::move(dictionary)), usingOptionsFromDefaultPlist_(fromDefaultPlist) {
    ensureClassInitialized();
}

std::shared_ptr<VIVUzorivu> VIVUzorivu::copy() const {
    platform::dispatch::MutexLock lock(mutex_);
    auto out = std::make_shared<VIVUzorivu>(dictionary_, usingOptionsFromDefaultPlist_);
    platform::dispatch::MutexLock outLock(out->mutex_);  // not shared yet: never contended
    out->deepLinkURLScheme_ = deepLinkURLScheme_;
    out->editingLocked_ = editingLocked_;
    return out;
}

std::optional<std::string> VIVUzorivu::stringFor(const char* key) const {
    platform::dispatch::MutexLock lock(mutex_);
    auto it = dictionary_.find(key);
    if (it == dictionary_.end() || !it->second.isString()) return std::nullopt;
    return *it->second.asString();
}

bool VIVUzorivu::boolFor(const char* key) const {
    platform::dispatch::MutexLock lock(mutex_);
    auto it = dictionary_.find(key);
    return it != dictionary_.end() && it->second.boolOr(false);
}

void VIVUzorivu::checkLock() const {
    if (editingLocked_) throw Exception(kZDVErrorDomain, kLockedReason);
}

void VIVUzorivu::setString(const char* key, std::optional<std::string> value) {
    platform::dispatch::MutexLock lock(mutex_);
    checkLock();
    if (value)
        dictionary_[key] = std::move(*value);
    else
        dictionary_.erase(key);
}

std::optional<std::string> VIVUzorivu::deepLinkURLScheme() const {
    platform::dispatch::MutexLock lock(mutex_);
    return deepLinkURLScheme_;
}

void VIVUzorivu::setDeepLinkURLScheme(std::optional<std::string> scheme) {
    platform::dispatch::MutexLock lock(mutex_);
    checkLock();
    deepLinkURLScheme_ = std::move(scheme);
}

void VIVUzorivu::setLibraryVersionID(const std::string& value) {
    platform::dispatch::MutexLock lock(mutex_);
    dictionary_[kZDVLibraryVersionID] = value;
}

bool VIVUzorivu::isEditingLocked() const {
    platform::dispatch::MutexLock lock(mutex_);
    return editingLocked_;
}

void VIVUzorivu::setEditingLocked(bool locked) {
    platform::dispatch::MutexLock lock(mutex_);
    editingLocked_ = locked;
}

bool VIVUzorivu::usingOptionsFromDefaultPlist() const {
    platform::dispatch::MutexLock lock(mutex_);
    return usingOptionsFromDefaultPlist_;
}

platform::ValueDictionary VIVUzorivu::optionsDictionary() const {
    platform::dispatch::MutexLock lock(mutex_);
    return dictionary_;
}

platform::ValueDictionary VIVUzorivu::analyticsOptionsDictionary() const {
    platform::dispatch::MutexLock lock(mutex_);
    if (analyticsOptions_) return *analyticsOptions_;
    platform::ValueDictionary out;
    auto bundle = platform::Bundle::mainBundle();
    for (const char* key : kAnalyticsKeys) {
        if (const auto* v = bundle->objectForInfoDictionaryKey(key)) {
            out[key] = *v;
        } else if (auto it = dictionary_.find(key); it != dictionary_.end()) {
            out[key] = it->second;
        }
    }
    analyticsOptions_ = out;
    return out;
}

bool VIVUzorivu::isAnalyticsCollectionDeactivated() const {
    auto d = analyticsOptionsDictionary();
    auto it = d.find("ZIDEDOVA_ANALYTICS_COLLECTION_DEACTIVATED");
    return it != d.end() && it->second.boolOr(false);
}

bool VIVUzorivu::isMeasurementEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    auto d = analyticsOptionsDictionary();
    if (auto it = d.find("IS_MEASUREMENT_ENABLED"); it != d.end()) return it->second.boolOr(false);
    if (ZODOzi::isDefaultAppConfigured()) {
        if (auto app = ZODOzi::defaultApp()) return app->isDataCollectionDefaultEnabled();
    }
    return false;
}

bool VIVUzorivu::isAnalyticsCollectionEnabled() const {
    if (isAnalyticsCollectionDeactivated()) return false;
    auto d = analyticsOptionsDictionary();
    if (auto it = d.find("ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED"); it != d.end()) return it->second.boolOr(false);
    return isMeasurementEnabled();
}

bool VIVUzorivu::isAnalyticsCollectionExpicitlySet() const {
    if (isAnalyticsCollectionDeactivated()) return true;
    auto d = analyticsOptionsDictionary();
    for (const char* key : {"ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED", "IS_MEASUREMENT_ENABLED"}) {
        if (auto it = d.find(key); it != d.end() && isBoolNumber(it->second)) return true;
    }
    return false;
}

}  // namespace zidedova
