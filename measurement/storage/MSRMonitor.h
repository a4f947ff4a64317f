#pragma once
// MSRMonitor: the measurement engine's coded, levelled log. Levels 0-2 are errors, 3-5 warnings,
// 6 notice, 7 debug; a line reads "<version> - [Zidedova/Analytics][I-ACS<code, 6 digits>] <message>"
// (", <context>" appended when a context is given) and goes through the coded logger. Debug mode
// ("-MSRAnalyticsDebugEnabled" or "-DOREdozadedoDebugEnabled" at launch) makes every level loggable.
//
// It lives with the storage layer because the lowest measurement library logs through it too. It is a
// runtime object of the class "MSRMonitor" so the app core can reach it by name. Safe from any thread.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/objc/Runtime.h"

namespace measurement {

class MSRMonitor : public platform::objc::Object {
public:
    static std::shared_ptr<MSRMonitor> shared();
    static platform::objc::Class* runtimeClass();

    void logWithLevel(int64_t level, int64_t messageCode, const std::string& message, const platform::Value& context);
    bool isDebugMode() const;

    explicit MSRMonitor(platform::objc::Class* cls) : Object(cls) {}

private:
    mutable platform::dispatch::Mutex mutex_;
    std::map<int64_t, int64_t> counts_ GUARDED_BY(mutex_);
};

// The system-log level of a monitor level.
int MSRMonitorSystemLevel(int64_t level);

}  // namespace measurement
