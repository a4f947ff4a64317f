#include "measurement/reporting/MSRScreenViewReporter.h"

#include "measurement/engine/MSRAnalytics.h"
#include "measurement/storage/MSRNameUtil.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/ResetRegistry.h"
#include "zidedova_core/DOREdozadedo.h"

namespace measurement {

platform::objc::Class* MSRScreenViewReporter::runtimeClass() {
    static platform::objc::Class* cls = [] {
        auto& runtime = platform::objc::Runtime::shared();
        if (auto* existing = runtime.lookUpClass(zidedova::kMSRScreenViewReporterClassName)) return existing;
        return platform::objc::ClassBuilder(runtime, zidedova::kMSRScreenViewReporterClassName, runtime.rootClass())
            .classMethod(platform::objc::sel("sharedInstance"),
                         platform::objc::makeImp([](platform::objc::Object*, platform::objc::Selector) {
                             return platform::ObjectHandle(MSRScreenViewReporter::sharedInstance());
                         }))
            .registerClass();
    }();
    return cls;
}

std::shared_ptr<MSRScreenViewReporter> MSRScreenViewReporter::sharedInstance() {
    static auto instance = [] {
        auto made = std::make_shared<MSRScreenViewReporter>(runtimeClass());
        // A fresh process has seen no screen yet, so its first screen is a change.
        platform::ResetRegistry::add("measurement.screenview", [weak = std::weak_ptr(made)] {
            if (auto reporter = weak.lock()) {
                platform::dispatch::MutexLock lock(reporter->mutex_);
                reporter->name_.reset();
                reporter->class_.reset();
            }
        });
        return made;
    }();
    return instance;
}

void MSRScreenViewReporter::setScreenName(const std::optional<std::string>& name,
                                          const std::optional<std::string>& screenClass) {
    platform::Value params = platform::Value::dictionary();
    {
        platform::dispatch::MutexLock lock(mutex_);
        if (name == name_ && screenClass == class_) return;
        if (name_) params.set("_pn", *name_);
        if (class_) params.set("_pc", *class_);
        name_ = name;
        class_ = screenClass;
    }
    if (name) params.set("_sn", *name);
    if (screenClass) params.set("_sc", *screenClass);
    MSRAnalytics::logInternalEventWithOrigin("auto", "_vs", params);
}

std::optional<std::string> MSRScreenViewReporter::currentScreenName() const {
    platform::dispatch::MutexLock lock(mutex_);
    return name_;
}

void registerClasses() {
    registerEngineClasses();
    MSRScreenViewReporter::runtimeClass();
    zidedova::DOREdozadedoSetNameDisplay(MSRPublicEventNameForInternalName, MSRPublicUserPropertyNameForInternalName);
    MSRAnalytics::setScreenViewHandler(
        [](const std::optional<std::string>& name, const std::optional<std::string>& screenClass) {
            MSRScreenViewReporter::sharedInstance()->setScreenName(name, screenClass);
        });
}

}  // namespace measurement
