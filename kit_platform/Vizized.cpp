#include "kit_platform/Vizized.h"

#include <atomic>

#include "kit_platform/Verira.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"

namespace vizized {

using platform::objc::makeImp;
using platform::objc::Object;
using platform::objc::sel;
using platform::objc::Selector;

namespace {

std::atomic<bool> requested{false};
platform::dispatch::Mutex stateMutex;
bool started GUARDED_BY(stateMutex) = false;
std::optional<std::string> token GUARDED_BY(stateMutex);
}  // namespace

platform::dispatch::DispatchQueue Vizized::eventQueue() {
    static const platform::dispatch::DispatchQueue queue(kEventQueueLabel);
    return queue;
}

bool Vizized::startWithBetaToken(std::optional<std::string> betaToken) {
    if (requested.exchange(true)) return false;
    eventQueue().async([betaToken = std::move(betaToken)] {
        {
            platform::dispatch::MutexLock lock(stateMutex);
            started = true;
            token = betaToken;
        }
        platform::DeviceEvents::post(
            "kit.start", platform::Value::dictionary(
                             {{"kit", kClassName}, {"version", kKitDisplayVersion}, {"build", kKitBuildVersion}}));
    });
    return true;
}

bool Vizized::isStarted() {
    platform::dispatch::MutexLock lock(stateMutex);
    return started;
}

std::optional<std::string> Vizized::betaToken() {
    platform::dispatch::MutexLock lock(stateMutex);
    return token;
}

void registerClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto& rt = platform::objc::Runtime::shared();
        if (rt.lookUpClass(kClassName)) return;
        platform::objc::ClassBuilder builder(rt, kClassName, rt.rootClass());
        if (!builder.valid()) return;
        builder.protocol(verira::kitProtocol())
            .classMethod(sel("bundleIdentifier"),
                         makeImp([](Object*, Selector) -> std::string { return kBundleIdentifier; }))
            .classMethod(sel("kitDisplayVersion"),
                         makeImp([](Object*, Selector) -> std::string { return kKitDisplayVersion; }))
            .classMethod(sel("kitBuildVersion"),
                         makeImp([](Object*, Selector) -> std::string { return kKitBuildVersion; }))
            .classMethod(sel("startWithBetaToken:"), makeImp([](Object*, Selector, platform::Value betaToken) {
                             auto* text = betaToken.asString();
                             Vizized::startWithBetaToken(text ? std::optional<std::string>(*text) : std::nullopt);
                         }))
            .classMethod(sel("initializeIfNeeded"),
                         makeImp([](Object*, Selector) { Vizized::startWithBetaToken(std::nullopt); }))
            .registerClass();
    });
}

platform::objc::Class* runtimeClass() {
    registerClasses();
    return platform::objc::Runtime::shared().lookUpClass(kClassName);
}

}  // namespace vizized
