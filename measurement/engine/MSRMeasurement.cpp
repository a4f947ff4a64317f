#include "measurement/engine/MSRMeasurement.h"

#include "platform/foundation/ProcessInfo.h"
#include "zidedova_core/ZDVAnalyticsInterop.h"

namespace measurement {

using platform::objc::Object;
using platform::objc::sel;
using platform::objc::Selector;

bool MSRIsSupportedSystemVersion() {
    return platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({9, 0, 0});
}

platform::objc::Class* MSRMeasurement::runtimeClass() {
    static platform::objc::Class* cls = [] {
        auto& runtime = platform::objc::Runtime::shared();
        if (auto* existing = runtime.lookUpClass("MSRMeasurement")) return existing;
        return platform::objc::ClassBuilder(runtime, "MSRMeasurement", runtime.rootClass())
            .classMethod(sel("sharedInstance"), platform::objc::makeImp([](Object*, Selector) {
                             return platform::ObjectHandle(MSRMeasurement::sharedInstance());
                         }))
            .classMethod(sel("monitor"), platform::objc::makeImp([](Object*, Selector) {
                             return platform::ObjectHandle(MSRMonitor::shared());
                         }))
            .method(sel("userAttributeWithName:callback:"),
                    platform::objc::makeImp(
                        [](Object* self, Selector, std::string name, zidedova::ZDVUserAttributeCallback callback) {
                            auto* measurement = platform::objc::native<MSRMeasurement>(self);
                            if (!measurement) return;
                            AttributeCallback forward;
                            if (callback)
                                forward = [callback](std::optional<MSRUserAttribute> attribute) {
                                    if (!attribute) return callback(platform::Value());
                                    callback(platform::Value::dictionary({{"origin", attribute->origin},
                                                                          {"name", attribute->name},
                                                                          {"value", attribute->value},
                                                                          {"timestamp", attribute->lastSetTimestamp}}));
                                };
                            measurement->userAttributeWithName(name, std::move(forward));
                        }))
            .registerClass();
    }();
    return cls;
}

MSRMeasurement::MSRMeasurement(platform::objc::Class* cls)
    : Object(cls), worker_("com.vodezu.msra.worker"),
      attributes_(std::make_shared<std::map<std::string, MSRUserAttribute>>()) {}

std::shared_ptr<MSRMeasurement> MSRMeasurement::sharedInstance() {
    if (!MSRIsSupportedSystemVersion()) return nullptr;
    static auto instance = std::make_shared<MSRMeasurement>(runtimeClass());
    return instance;
}

void MSRMeasurement::userAttributeWithName(const std::string& name, AttributeCallback callback) {
    if (!callback) {
        monitor()->logWithLevel(2, 23088, "userAttributeWithName callback is nil", platform::Value());
        return;
    }
    worker_.async([attributes = attributes_, name, callback = std::move(callback)] {
        auto it = attributes->find(name);
        callback(it == attributes->end() ? std::nullopt : std::optional<MSRUserAttribute>(it->second));
    });
}

void MSRMeasurement::setUserAttribute(MSRUserAttribute attribute) {
    worker_.async([attributes = attributes_, attribute = std::move(attribute)] {
        if (attribute.value.isNull())
            attributes->erase(attribute.name);
        else
            (*attributes)[attribute.name] = attribute;
    });
}

void MSRMeasurement::removeUserAttribute(const std::string& name) {
    worker_.async([attributes = attributes_, name] { attributes->erase(name); });
}

void MSRMeasurement::removeAllUserAttributes() {
    worker_.async([attributes = attributes_] { attributes->clear(); });
}

std::map<std::string, MSRUserAttribute> MSRMeasurement::userAttributes() const {
    return worker_.syncResult([&] { return *attributes_; });
}

}  // namespace measurement
