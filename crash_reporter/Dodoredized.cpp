#include "crash_reporter/Dodoredized.h"

#include <mutex>

#include "kit_platform/Verira.h"
#include "platform/foundation/DeviceEvents.h"

namespace dodoredized {

using platform::objc::makeImp;
using platform::objc::Object;
using platform::objc::sel;
using platform::objc::Selector;

std::shared_ptr<Dodoredized> Dodoredized::sharedInstance() {
    static std::shared_ptr<Dodoredized> shared = std::make_shared<Dodoredized>();
    return shared;
}

void Dodoredized::initializeIfNeeded() { sharedInstance()->start(); }

bool Dodoredized::start() {
    bool expected = false;
    if (!started_.compare_exchange_strong(expected, true)) return false;
    startCount_.fetch_add(1);
    platform::DeviceEvents::post("kit.start", platform::Value::dictionary({{"kit", kClassName},
                                                                           {"version", kKitDisplayVersion},
                                                                           {"build", kKitBuildVersion}}));
    return true;
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
                         makeImp([](Object*, Selector) -> std::string { return Dodoredized::bundleIdentifier(); }))
            .classMethod(sel("kitDisplayVersion"),
                         makeImp([](Object*, Selector) -> std::string { return Dodoredized::kitDisplayVersion(); }))
            .classMethod(sel("kitBuildVersion"),
                         makeImp([](Object*, Selector) -> std::string { return Dodoredized::kitBuildVersion(); }))
            .classMethod(sel("initializeIfNeeded"),
                         makeImp([](Object*, Selector) { Dodoredized::initializeIfNeeded(); }))
            .registerClass();
    });
}

platform::objc::Class* runtimeClass() {
    registerClasses();
    return platform::objc::Runtime::shared().lookUpClass(kClassName);
}

}  // namespace dodoredized
