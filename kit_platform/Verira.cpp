#include "kit_platform/Verira.h"

#include <algorithm>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
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

}  // namespace

std::shared_ptr<Verira> Verira::sharedSDK() {
    static std::mutex mutex;
    static std::shared_ptr<Verira> shared;
    std::lock_guard lock(mutex);
    if (!shared) {
        shared = std::make_shared<Verira>();
        // Back to before the first call: kits keep their own once-state.
        platform::ResetRegistry::add("verira", [sdk = shared] {
            std::lock_guard lock(sdk->mutex_);
            sdk->called_ = false;
            sdk->apiKey_.reset();
            sdk->kits_.clear();
        });
    }
    return shared;
}

std::shared_ptr<Verira> Verira::with(const std::vector<Class*>& kitClasses) {
    auto sdk = sharedSDK();
    std::vector<Class*> kits;
    {
        std::lock_guard lock(sdk->mutex_);
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
    }
    // Outside the lock: a kit's start may ask the shared object about itself.
    for (Class* kit : kits) initializeKit(kit);
    return sdk;
}

void Verira::initializeKit(Class* kit) {
    if (!kit) return;
    if (platform::objc::lookUpImp(kit->metaclass(), sel("initializeIfNeeded")))
        platform::objc::send<void>(static_cast<platform::objc::Object*>(kit), sel("initializeIfNeeded"));
}

std::optional<std::string> Verira::APIKey() const {
    std::lock_guard lock(mutex_);
    return apiKey_;
}

std::vector<Class*> Verira::kits() const {
    std::lock_guard lock(mutex_);
    return kits_;
}

}  // namespace verira
