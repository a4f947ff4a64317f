#include "kit_platform/Verira.h"

#include <algorithm>

#include "kit_platform/Identifiers.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ResetRegistry.h"

namespace verira {

using platform::objc::Class;
using platform::objc::Runtime;
using platform::objc::sel;

void registerClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!Runtime::shared().lookUpProtocol(kKitProtocolName)) Runtime::shared().registerProtocol(kKitProtocolName);
    });
}

const platform::objc::Protocol* kitProtocol() {
    registerClasses();
    return Runtime::shared().lookUpProtocol(kKitProtocolName);
}

bool isKit(Class* cls) {
    return cls && !cls->isMetaclass() && Runtime::shared().conformsToProtocol(cls, kitProtocol());
}

namespace {

std::optional<std::string> apiKeyFromInfoPlist() {
    auto bundle = platform::Bundle::mainBundle();
    const platform::Value* section = bundle ? bundle->objectForInfoDictionaryKey(kInfoPlistKey) : nullptr;
    const platform::Value* key = section ? section->find(kAPIKeyKey) : nullptr;
    if (!key || !key->isString() || key->stringOr("").empty()) return std::nullopt;
    return key->stringOr("");
}

std::string className(Class* cls) { return cls ? cls->name() : std::string("(null)"); }

AppFacts appFacts(const std::string& installationIdentifier) {
    auto bundle = platform::Bundle::mainBundle();
    AppFacts facts;
    facts.installationIdentifier = installationIdentifier;
    if (bundle) {
        facts.bundleIdentifier = bundle->bundleIdentifier().value_or("");
        facts.displayVersion = bundle->shortVersionString().value_or("");
        facts.buildVersion = bundle->bundleVersion().value_or("");
    }
    return facts;
}

std::string settingsCachePath() {
    auto caches = platform::FileManager::defaultManager().directory(platform::SearchPathDirectory::Caches);
    if (!caches) return "";
    return *caches + "/" + kVeriraDirectoryName + "/" + kSettingsFileName;
}

}  // namespace

std::shared_ptr<Verira> Verira::sharedSDK() {
    static platform::dispatch::Mutex mutex;
    static std::shared_ptr<Verira> shared;
    platform::dispatch::MutexLock lock(mutex);
    if (!shared) {
        shared = std::make_shared<Verira>();
        // Back to before the first call: kits keep their own once-state.
        platform::ResetRegistry::add("verira", [sdk = shared] {
            platform::dispatch::MutexLock lock(sdk->mutex_);
            sdk->called_ = false;
            sdk->apiKey_.reset();
            sdk->kits_.clear();
            sdk->installationIdentifier_.clear();
            sdk->executionIdentifier_.clear();
            sdk->dataCollectionEnabled_ = false;
            sdk->client_.reset();
            sdk->settings_.reset();
        });
    }
    return shared;
}

bool Verira::automaticDataCollectionEnabled() {
    auto bundle = platform::Bundle::mainBundle();
    const platform::Value* section = bundle ? bundle->objectForInfoDictionaryKey(kInfoPlistKey) : nullptr;
    const platform::Value* flag = section ? section->find(kDataCollectionKey) : nullptr;
    if (!flag) return true;
    if (flag->isBool()) return flag->boolOr(true);
    platform::consoleLog(std::string("[Verira] \"") + kDataCollectionKey +
                         "\" in the Info.plist is not a boolean; automatic data collection is off");
    return false;
}

std::shared_ptr<Verira> Verira::with(const std::vector<Class*>& kitClasses) {
    auto sdk = sharedSDK();
    std::vector<Class*> kits;
    std::shared_ptr<SettingsController> settings;
    {
        platform::dispatch::MutexLock lock(sdk->mutex_);
        if (sdk->called_) {
            platform::consoleLog(kMultipleCallsMessage);
            return sdk;
        }
        sdk->called_ = true;
        sdk->apiKey_ = apiKeyFromInfoPlist();
        if (!sdk->apiKey_) {
            platform::consoleLog("[Verira] Could not find a valid API key in the Info.plist \"Verira\" dictionary; "
                                 "no kit was started");
            return sdk;
        }
        for (Class* cls : kitClasses)
            if (!isKit(cls)) throw VRRException("[Verira] " + className(cls) + " is not a Verira kit");
        // A kit named twice is still one kit: it must not be started twice.
        for (Class* cls : kitClasses)
            if (std::find(kits.begin(), kits.end(), cls) == kits.end()) kits.push_back(cls);
        // The crash reporter brings the event kit along when it is linked in.
        if (Class* events = Runtime::shared().lookUpClass(kEventKitClassName);
            events && isKit(events) && std::find(kits.begin(), kits.end(), events) == kits.end())
            kits.push_back(events);
        sdk->kits_ = kits;

        // The identifiers come before any kit starts: the kits record them.
        sdk->executionIdentifier_ = makeExecutionIdentifier();
        if (auto installation = loadOrMakeInstallationIdentifier()) {
            sdk->installationIdentifier_ = *installation;
        } else {
            // Without a place to keep it, this launch still has one; the next makes another.
            sdk->installationIdentifier_ = makeExecutionIdentifier();
            platform::consoleLog("[Verira] Could not keep the installation identifier: " +
                                 installation.error().localizedDescription());
        }
        sdk->client_ = std::make_shared<KitServiceClient>(*sdk->apiKey_);
        sdk->dataCollectionEnabled_ = automaticDataCollectionEnabled();
        if (!sdk->dataCollectionEnabled_) {
            platform::consoleLog("[Verira] Automatic data collection is off; no kit was started");
            return sdk;
        }
        AppFacts facts = appFacts(sdk->installationIdentifier_);
        if (facts.bundleIdentifier.empty()) {
            platform::consoleLog("[Verira] The app has no bundle identifier; the kit settings cannot be asked for");
        } else {
            sdk->settings_ = std::make_shared<SettingsController>(sdk->client_, facts, settingsCachePath());
            settings = sdk->settings_;
        }
    }
    // Outside the lock: a kit's start may ask the shared object about itself.
    for (Class* kit : kits) initializeKit(kit);
    if (settings) settings->start();
    return sdk;
}

void Verira::initializeKit(Class* kit) {
    if (!kit) return;
    if (platform::objc::lookUpImp(kit->metaclass(), sel("initializeIfNeeded")))
        platform::objc::send<void>(static_cast<platform::objc::Object*>(kit), sel("initializeIfNeeded"));
}

std::optional<std::string> Verira::APIKey() const {
    platform::dispatch::MutexLock lock(mutex_);
    return apiKey_;
}

std::vector<Class*> Verira::kits() const {
    platform::dispatch::MutexLock lock(mutex_);
    return kits_;
}

std::string Verira::installationIdentifier() const {
    platform::dispatch::MutexLock lock(mutex_);
    return installationIdentifier_;
}

std::string Verira::executionIdentifier() const {
    platform::dispatch::MutexLock lock(mutex_);
    return executionIdentifier_;
}

bool Verira::isDataCollectionEnabled() const {
    platform::dispatch::MutexLock lock(mutex_);
    return dataCollectionEnabled_;
}

platform::Value Verira::settings() const {
    auto controller = settingsController();
    return controller ? controller->settings() : platform::Value();
}

std::shared_ptr<KitServiceClient> Verira::serviceClient() const {
    platform::dispatch::MutexLock lock(mutex_);
    return client_;
}

std::shared_ptr<SettingsController> Verira::settingsController() const {
    platform::dispatch::MutexLock lock(mutex_);
    return settings_;
}

}  // namespace verira
