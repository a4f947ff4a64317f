#include "measurement/storage/MSRMonitor.h"

#include <algorithm>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/ResetRegistry.h"
#include "zidedova_core/utilities/ZUTLogger.h"

namespace measurement {

namespace {
constexpr const char* kService = "[Zidedova/Analytics]";
}

int MSRMonitorSystemLevel(int64_t level) {
    if (level <= 2) return zidedova::ZUTLoggerLevelError;
    if (level <= 5) return zidedova::ZUTLoggerLevelWarning;
    if (level == 6) return zidedova::ZUTLoggerLevelNotice;
    return zidedova::ZUTLoggerLevelDebug;
}

platform::objc::Class* MSRMonitor::runtimeClass() {
    static platform::objc::Class* cls = [] {
        auto& runtime = platform::objc::Runtime::shared();
        if (auto* existing = runtime.lookUpClass("MSRMonitor")) return existing;
        return platform::objc::ClassBuilder(runtime, "MSRMonitor", runtime.rootClass())
            .method(platform::objc::sel("logWithLevel:messageCode:message:context:"),
                    platform::objc::makeImp([](platform::objc::Object* self, platform::objc::Selector, int64_t level,
                                               int64_t code, std::string message, platform::Value context) {
                        if (auto* monitor = platform::objc::native<MSRMonitor>(self))
                            monitor->logWithLevel(level, code, message, context);
                    }))
            .registerClass();
    }();
    return cls;
}

std::shared_ptr<MSRMonitor> MSRMonitor::shared() {
    static auto monitor = [] {
        auto made = std::make_shared<MSRMonitor>(runtimeClass());
        // Forgets the monitoring data.
        platform::ResetRegistry::add("measurement.monitor", [made] {
            platform::dispatch::MutexLock lock(made->mutex_);
            made->counts_.clear();
        });
        return made;
    }();
    return monitor;
}

bool MSRMonitor::isDebugMode() const {
    auto args = platform::ProcessInfo::processInfo().arguments();
    return std::find(args.begin(), args.end(), "-MSRAnalyticsDebugEnabled") != args.end() ||
           std::find(args.begin(), args.end(), "-DOREdozadedoDebugEnabled") != args.end();
}

void MSRMonitor::logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                              const platform::Value& context) {
    level = std::clamp<int64_t>(level, 0, 7);
    if (level <= 5) {
        platform::dispatch::MutexLock lock(mutex_);
        ++counts_[messageCode];
    }
    int systemLevel = MSRMonitorSystemLevel(level);
    bool debug = isDebugMode();
    zidedova::ZUTLoggerInitialize();
    if (!zidedova::ZUTLoggerShouldLog(systemLevel, debug)) return;
    std::string code = zidedova::ZUTFormat("I-ACS%06ld", {messageCode});
    std::string text = context.isNull() ? message : zidedova::ZUTFormat("%@, %@", {message, context});
    zidedova::ZUTLoggerWriteMessage(systemLevel, kService, code, text);
}

}  // namespace measurement
