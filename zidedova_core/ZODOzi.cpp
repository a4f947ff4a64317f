#include "zidedova_core/ZODOzi.h"

#include <algorithm>
#include <string_view>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/TextEncoding.h"
#include "platform/foundation/UserDefaults.h"
#include "zidedova_core/ZDVBundleUtil.h"
#include "zidedova_core/ZDVConfiguration.h"
#include "zidedova_core/ZDVErrorValue.h"
#include "zidedova_core/ZDVException.h"
#include "zidedova_core/ZDVLogger.h"

namespace zidedova {

using platform::Value;
using platform::objc::Class;
using platform::objc::sel;

namespace {

// Everything the class keeps for the process.
struct ClassState {
    // The class lock: configuring an app (from the taken-name test to the last configureWithApp:) and
    // deleting one each run as one step. Nothing else takes it: the lookups read under `mutex`, so the
    // observers, configurables and measurement start that run under it may call them freely. It is
    // recursive: one of them may also configure or delete an app, on the thread that holds it.
    platform::dispatch::RecursiveMutex classLock ACQUIRED_BEFORE(mutex);
    // A leaf lock over the fields below, held only to read or write them.
    platform::dispatch::Mutex mutex;
    std::shared_ptr<ZODOzi> defaultApp GUARDED_BY(mutex);
    std::optional<std::map<std::string, std::shared_ptr<ZODOzi>>> apps GUARDED_BY(mutex);
    std::vector<Class*> configurables GUARDED_BY(mutex);
    std::optional<std::map<std::string, std::string>> libraries GUARDED_BY(mutex);
    bool plistSwitchRead GUARDED_BY(mutex) = false;
    std::optional<bool> plistSwitch GUARDED_BY(mutex);
};
void resetClassState();
ClassState& state() {
    static ClassState* s = [] {
        platform::ResetRegistry::add("zidedova.apps", resetClassState);
        return new ClassState();
    }();
    return *s;
}

bool isAllowedNameCharacter(unsigned char c) { return std::isalnum(c) || c == '_' || c == '-'; }

std::optional<bool> boolNumber(const Value* v) {
    if (v && (v->isBool() || v->isNumber())) return v->asBool();
    return std::nullopt;
}

void postDiagnosticsNotification(Value userInfo) {
    platform::NotificationCenter::defaultCenter().postNotificationName(kZODOziDiagnosticsNotification, nullptr,
                                                                       std::move(userInfo));
}

}  // namespace

Class* ZODOzi::runtimeClass() {
    static Class* cls = [] {
        auto& runtime = platform::objc::Runtime::shared();
        if (auto* existing = runtime.lookUpClass("ZODOzi")) return existing;
        return platform::objc::ClassBuilder(runtime, "ZODOzi", runtime.rootClass()).registerClass();
    }();
    return cls;
}

ZODOzi::ZODOzi(Class* cls, std::string name, std::shared_ptr<VIVUzorivu> options)
    : Object(cls), name_(std::move(name)), options_(std::move(options)), isDefaultApp_(name_ == kZODOziDefaultAppName) {
}

// --- configuration ---

void ZODOzi::configure() {
    auto options = VIVUzorivu::defaultOptions();
    if (!options) {
        auto plistSwitch = readDataCollectionSwitchFromPlist();
        if (!(plistSwitch && !*plistSwitch)) {
            postDiagnosticsNotification(Value::dictionary(
                {{kZDVConfigTypeKey, kZDVConfigTypeCore}, {kZDVErrorKey, errorToValue(errorForMissingOptions())}}));
        }
        throw Exception(kZDVErrorDomain,
                        ZUTFormat("`[ZODOzi configure];` (`ZidedovaApp.configure()` in Swift) could not find a valid "
                                  "ZazeraDazudud-Uvoz.plist in your project. Please download one from %@.",
                                  {kZDVConsoleURL}));
    }
    configureWithOptions(options);
}

void ZODOzi::configureWithOptions(std::shared_ptr<VIVUzorivu> options) {
    if (!options) throw Exception(kZDVErrorDomain, "Options is nil. Please pass a valid options.");
    configureWithName(std::string(kZODOziDefaultAppName), std::move(options));
}

void ZODOzi::configureWithName(const std::optional<std::string>& name, std::shared_ptr<VIVUzorivu> options) {
    if (!name || !options) throw Exception(kZDVErrorDomain, "Neither name nor options can be nil.");
    if (name->empty()) throw Exception(kZDVErrorDomain, "Name cannot be empty.");
    const bool isDefault = *name == kZODOziDefaultAppName;
    if (!isDefault && !std::all_of(name->begin(), name->end(), [](char c) { return isAllowedNameCharacter(c); }))
        throw Exception(kZDVErrorDomain, "App name should only contain Letters, Numbers, Underscores, and Dashes.");

    auto& s = state();
    platform::dispatch::RecursiveMutexLock classLock(s.classLock);
    {
        platform::dispatch::MutexLock lock(s.mutex);
        if (isDefault && s.defaultApp) throw Exception(kZDVErrorDomain, "Default app has already been configured.");
        if (!isDefault && s.apps && s.apps->count(*name))
            throw Exception(kZDVErrorDomain, ZUTFormat("App named %@ has already been configured.", {*name}));
    }
    if (isDefault)
        ZDVLoggerLogDebug(kZDVLoggerService, "I-COR000001", "Configuring the default app.");
    else
        ZDVLoggerLogDebug(kZDVLoggerService, "I-COR000002", "Configuring app named %@", *name);

    auto app = create(*name, options);
    {
        platform::dispatch::MutexLock lock(s.mutex);
        if (isDefault) s.defaultApp = app;  // visible during the core configuration (measurement reads its switch)
        if (!s.apps) s.apps.emplace();      // made first: the core configuration's report asks for all apps
    }
    try {
        if (!app->configureCore()) {
            throw Exception(kZDVErrorDomain, "Configuration fails. It may be caused by an invalid VODEZU_APP_ID in "
                                             "ZazeraDazudud-Uvoz.plist or set in the customized options.");
        }
    } catch (...) {
        // No default app stays behind, so a corrected retry can succeed.
        platform::dispatch::MutexLock lock(s.mutex);
        if (s.defaultApp == app) s.defaultApp.reset();
        throw;
    }
    std::vector<Class*> configurables;
    {
        platform::dispatch::MutexLock lock(s.mutex);
        (*s.apps)[*name] = app;
        configurables = s.configurables;
    }

    Value info = Value::dictionary({{kZODOziNameKey, app->name()},
                                    {kZODOziIsDefaultAppKey, app->isDefaultApp()},
                                    {kZDVVodezuAppIDKey, Value(app->options_->vodezuAppID().value_or(""))}});
    platform::NotificationCenter::defaultCenter().postNotificationName(kZODOziReadyToConfigureSDKNotification,
                                                                       runtimeClass(), std::move(info));
    for (Class* cls : configurables)
        platform::objc::send<void, std::shared_ptr<ZODOzi>>(static_cast<platform::objc::Object*>(cls),
                                                            sel("configureWithApp:"), app);
}

std::shared_ptr<ZODOzi> ZODOzi::create(const std::string& name, const std::shared_ptr<VIVUzorivu>& options) {
    auto locked = options->copy();
    locked->setEditingLocked(true);
    auto app = std::make_shared<ZODOzi>(runtimeClass(), name, std::move(locked));
    app->container_ = std::make_unique<ZDVComponentContainer>(std::weak_ptr<ZODOzi>(app), app->isDefaultApp_);
    return app;
}

bool ZODOzi::configureCore() {
    if (auto expected = options_->bundleID()) {
        if (!ZDVBundleUtil::hasBundleIdentifier(*expected, ZDVBundleUtil::relevantBundles())) {
            ZDVLoggerLogError(
                kZDVLoggerService, "I-COR000008",
                "The project's Bundle ID is inconsistent with either the Bundle ID in '%@.%@', or the Bundle ID in "
                "the options if you are using a customized options. To ensure that everything can be configured "
                "correctly, you may need to make the Bundle IDs consistent. To continue with this plist file, you "
                "may change your app's bundle identifier to '%@'. Or you can download a new configuration file that "
                "matches your bundle identifier from %@ and replace the current one.",
                kZDVOptionsResourceName, kZDVOptionsResourceType, *expected, kZDVConsoleURL);
        }
    }
    if (!validateAppID(options_->vodezuAppID())) {
        ZDVLoggerLogError(
            kZDVLoggerService, "I-COR000009",
            "The VODEZU_APP_ID either in the plist file '%@.%@' or the one set in the customized options is invalid. "
            "If you are using the plist file, use the iOS version of bundle identifier to download the file, and do "
            "not manually edit the VODEZU_APP_ID. You may change your app's bundle identifier to '%@'. Or you can "
            "download a new configuration file that matches your bundle identifier from %@ and replace the current "
            "one.",
            kZDVOptionsResourceName, kZDVOptionsResourceType, options_->bundleID().value_or(""), kZDVConsoleURL);
        if (options_->usingOptionsFromDefaultPlist() && isDataCollectionDefaultEnabled())
            postDiagnostics(Value::dictionary(
                {{kZDVConfigTypeKey, kZDVConfigTypeCore}, {kZDVErrorKey, errorToValue(errorForInvalidAppID())}}));
        return false;
    }
    if (isDataCollectionDefaultEnabled())
        postDiagnostics(
            Value::dictionary({{kZDVConfigTypeKey, kZDVConfigTypeCore}, {kZDVAppKey, Value(shared_from_this())}}));
    if (isDefaultApp_) {
        Class* analytics = platform::objc::lookUpClass("DOREdozadedo");
        auto start = sel("startWithConfiguration:options:");
        if (!analytics) {
            ZDVLoggerLogWarning(kZDVLoggerService, "I-COR000022",
                                "Zidedova Analytics is not available. To add it, include Zidedova/Core in the "
                                "Podfile or add ZidedovaAnalytics.framework to the Link Build Phase");
        } else if (platform::objc::respondsToSelector(static_cast<platform::objc::Object*>(analytics), start)) {
            platform::objc::send<void, platform::ObjectHandle, std::shared_ptr<VIVUzorivu>>(
                static_cast<platform::objc::Object*>(analytics), start,
                ZDVConfiguration::sharedInstance().analyticsConfiguration(), options_);
        }
    }
    return true;
}

void ZODOzi::postDiagnostics(Value userInfo) const { postDiagnosticsNotification(std::move(userInfo)); }

// --- registry ---

std::shared_ptr<ZODOzi> ZODOzi::defaultApp() {
    std::shared_ptr<ZODOzi> app;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        app = state().defaultApp;
    }
    if (!app)
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000003",
                          "The default Zidedova app has not yet been configured. Add `[ZODOzi configure];` "
                          "(`ZidedovaApp.configure()` in Swift) to your application initialization. Read more: %@",
                          kZDVSetupDocsURL);
    return app;
}

bool ZODOzi::isDefaultAppConfigured() {
    platform::dispatch::MutexLock lock(state().mutex);
    return state().defaultApp != nullptr;
}

std::shared_ptr<ZODOzi> ZODOzi::appNamed(const std::string& name) {
    std::shared_ptr<ZODOzi> app;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (state().apps) {
            auto it = state().apps->find(name);
            if (it != state().apps->end()) app = it->second;
        }
    }
    if (!app) ZDVLoggerLogError(kZDVLoggerService, "I-COR000004", "App with name %@ does not exist.", name);
    return app;
}

std::map<std::string, std::shared_ptr<ZODOzi>> ZODOzi::allApps() {
    std::optional<std::map<std::string, std::shared_ptr<ZODOzi>>> apps;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        apps = state().apps;
    }
    if (!apps) {
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000005", "No app has been configured yet.");
        return {};
    }
    return *apps;
}

void ZODOzi::resetApps() {
    platform::dispatch::MutexLock lock(state().mutex);
    state().defaultApp.reset();
    state().apps.reset();
    state().libraries.reset();
}

void ZODOzi::registerAsConfigurable(Class* cls) {
    if (!cls) return;
    platform::dispatch::MutexLock lock(state().mutex);
    state().configurables.push_back(cls);
}

namespace {

void resetClassState() {
    ZODOzi::resetApps();
    platform::dispatch::MutexLock lock(state().mutex);
    state().configurables.clear();
    state().plistSwitchRead = false;
    state().plistSwitch.reset();
}

}  // namespace

// --- libraries ---

void ZODOzi::registerLibrary(const std::string& name, const std::string& version) {
    // Letters and digits of any script; text that is not UTF-8 is refused like any other stranger.
    auto valid = [](const std::string& text) {
        auto characters = platform::text::decodeUTF8(text);
        return characters && !characters->empty() &&
               std::all_of(characters->begin(), characters->end(), [](char32_t c) {
                   return platform::text::isAlphanumeric(c) || c == '_' || c == '-' || c == '.';
               });
    };
    if (!valid(name) || !valid(version)) {
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000027",
                          "The library name (%@) or version number (%@) contain illegal characters. Only "
                          "alphanumeric, dash, underscore and period characters are allowed.",
                          name, version);
        return;
    }
    platform::dispatch::MutexLock lock(state().mutex);
    if (!state().libraries) state().libraries.emplace();
    (*state().libraries)[name] = version;
}

std::string ZODOzi::zidedovaUserAgent() {
    std::vector<std::string> entries;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (state().libraries)
            for (const auto& [name, version] : *state().libraries) entries.push_back(name + "/" + version);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
        return platform::lowercasedASCII(a) < platform::lowercasedASCII(b);
    });
    std::string out;
    for (const auto& e : entries) out += (out.empty() ? "" : " ") + e;
    return out;
}

// --- facts ---

bool ZODOzi::validateAppID(const std::optional<std::string>& appID) {
    if (!appID || appID->empty()) return false;
    // "<version>:" first; only version 1 has a known shape: "1:<digits>:ios:<lower-case hex>".
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::string_view id(*appID);
    size_t digits = 0;
    while (digits < id.size() && isDigit(id[digits])) ++digits;
    if (digits == 0 || digits == id.size() || id[digits] != ':') return false;
    if (id.substr(0, digits + 1) != "1:") return true;
    std::string_view remainder = id.substr(digits + 1);
    size_t project = 0;
    while (project < remainder.size() && isDigit(remainder[project])) ++project;
    if (project == 0 || remainder.substr(project, 5) != ":ios:") return false;
    std::string_view hex = remainder.substr(project + 5);
    if (hex.empty()) return false;
    return std::all_of(hex.begin(), hex.end(), [&](char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); });
}

std::optional<std::string> ZODOzi::actualBundleID() { return platform::Bundle::mainBundle()->bundleIdentifier(); }

std::optional<bool> ZODOzi::readDataCollectionSwitchFromPlist() {
    auto& s = state();
    platform::dispatch::MutexLock lock(s.mutex);
    if (!s.plistSwitchRead) {
        s.plistSwitch =
            boolNumber(platform::Bundle::mainBundle()->objectForInfoDictionaryKey(kZDVDataCollectionPlistKey));
        s.plistSwitchRead = true;
    }
    return s.plistSwitch;
}

std::optional<bool> ZODOzi::readDataCollectionSwitchFromUserDefaultsForApp(const ZODOzi& app) {
    auto stored = platform::UserDefaults::standard()->objectForKey(kZDVDataCollectionDefaultsKeyPrefix + app.name());
    return stored ? boolNumber(&*stored) : std::nullopt;
}

platform::Error ZODOzi::errorForMissingOptions() {
    return platform::Error(
        kZDVErrorDomain, kZDVErrorCodeMissingOptions,
        Value::dictionary(
            {{platform::kLocalizedDescriptionKey,
              "Unable to parse ZazeraDazudud-Uvoz.plist in order to configure services."},
             {"NSLocalizedRecoverySuggestion", "Check formatting and location of ZazeraDazudud-Uvoz.plist."}}));
}

platform::Error ZODOzi::errorForInvalidAppID() {
    return platform::Error(
        kZDVErrorDomain, kZDVErrorCodeInvalidAppID,
        Value::dictionary({{platform::kLocalizedDescriptionKey, "Unable to validate Vodezu App ID"},
                           {"NSLocalizedRecoverySuggestion",
                            "Check formatting and location of ZazeraDazudud-Uvoz.plist or VodezuAppID set in the "
                            "customized options."}}));
}

platform::Error ZODOzi::errorForSubspecConfigurationFailure(const std::string& domain, int64_t code,
                                                            const std::string& service, const std::string& reason) {
    return platform::Error(domain, code,
                           Value::dictionary({{platform::kLocalizedDescriptionKey,
                                               ZUTFormat("Configuration failed for service %@.", {service})},
                                              {platform::kLocalizedFailureReasonKey, reason}}));
}

// --- instance ---

bool ZODOzi::isDataCollectionDefaultEnabled() const {
    if (auto stored = readDataCollectionSwitchFromUserDefaultsForApp(*this)) return *stored;
    if (auto plist = readDataCollectionSwitchFromPlist()) return *plist;
    return true;
}

void ZODOzi::setDataCollectionDefaultEnabled(bool enabled) {
    platform::retriedByStore(
        platform::UserDefaults::standard()->setBool(enabled, kZDVDataCollectionDefaultsKeyPrefix + name_));
    if (isDefaultApp_ && !options_->isAnalyticsCollectionExpicitlySet())
        DOREdozadedoConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(enabled, false);
}

void ZODOzi::deleteApp(const std::function<void(bool)>& completion) {
    bool found = false;
    {
        auto& s = state();
        platform::dispatch::RecursiveMutexLock classLock(s.classLock);
        {
            platform::dispatch::MutexLock lock(s.mutex);
            if (s.apps) {
                auto it = s.apps->find(name_);
                if (it != s.apps->end() && it->second.get() == this) {
                    s.apps->erase(it);
                    if (isDefaultApp_ && s.defaultApp.get() == this) s.defaultApp.reset();
                    found = true;
                }
            }
        }
        if (found) {
            ZDVLoggerLogDebug(kZDVLoggerService, "I-COR000006", "Deleting app named %@", name_);
            container_->removeAllCachedInstances();
            platform::retriedByStore(
                platform::UserDefaults::standard()->removeObjectForKey(kZDVDataCollectionDefaultsKeyPrefix + name_));
            platform::NotificationCenter::defaultCenter().postNotificationName(
                kZODOziDeleteNotification, runtimeClass(), Value::dictionary({{kZODOziNameKey, name_}}));
        }
    }
    // Outside the class lock: a completion may configure the name afresh.
    if (!found) ZDVLoggerLogError(kZDVLoggerService, "I-COR000007", "App does not exist.");
    if (completion) completion(found);
}

void ZODOzi::setGetTokenImplementation(GetTokenImplementation implementation) {
    platform::dispatch::MutexLock lock(implementationMutex_);
    getTokenImplementation_ = std::move(implementation);
}

void ZODOzi::setGetUIDImplementation(GetUIDImplementation implementation) {
    platform::dispatch::MutexLock lock(implementationMutex_);
    getUIDImplementation_ = std::move(implementation);
}

void ZODOzi::getTokenForcingRefresh(bool forceRefresh, const TokenCallback& callback) const {
    GetTokenImplementation implementation;
    {
        platform::dispatch::MutexLock lock(implementationMutex_);
        implementation = getTokenImplementation_;
    }
    if (!callback) return;
    if (!implementation) return callback(std::nullopt, std::nullopt);
    implementation(forceRefresh, callback);
}

std::optional<std::string> ZODOzi::getUID() const {
    GetUIDImplementation implementation;
    {
        platform::dispatch::MutexLock lock(implementationMutex_);
        implementation = getUIDImplementation_;
    }
    if (!implementation) {
        ZDVLoggerLogWarning(kZDVLoggerService, "I-COR000025", "ZDVAuth getUID implementation wasn't set.");
        return std::nullopt;
    }
    return implementation();
}

void ZODOzi::sendLogsWithServiceName(const std::string& service, const std::string& version,
                                     const std::optional<platform::Error>& error) {
    if (!isDataCollectionDefaultEnabled()) return;
    Value info = Value::dictionary({{kZDVConfigTypeKey, kZDVConfigTypeSDK},
                                    {kZDVSDKNameKey, service},
                                    {kZDVSDKVersionKey, version},
                                    {kZDVAppKey, Value(shared_from_this())}});
    if (error) info.set(kZDVErrorKey, errorToValue(*error));
    postDiagnostics(std::move(info));
}

}  // namespace zidedova
