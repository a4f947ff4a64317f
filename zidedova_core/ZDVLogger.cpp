#include "zidedova_core/ZDVLogger.h"

#include <algorithm>
#include <atomic>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/UserDefaults.h"

namespace zidedova {

namespace {
platform::dispatch::Mutex gInitMutex;
std::atomic<bool> gInitialized{false};
}  // namespace

void ZDVLoggerInitialize() {
    if (gInitialized.load(std::memory_order_acquire)) return;
    platform::dispatch::MutexLock lock(gInitMutex);
    if (gInitialized.load()) return;
    ZUTLoggerSetVersion(kZDVLoggerVersion);
    auto arguments = platform::ProcessInfo::processInfo().arguments();
    auto has = [&](const char* a) { return std::find(arguments.begin(), arguments.end(), a) != arguments.end(); };
    bool forceStderr = has("-ZDVLoggerForceSTDERR");
    auto defaults = platform::UserDefaults::standard();
    bool persisted = defaults->boolForKey(kZDVDebugModeKey).value_or(false);

    if (has("-ZDVDebugDisabled")) {
        platform::retriedByStore(defaults->removeObjectForKey(kZDVDebugModeKey));
        ZUTLoggerInitialize();
        if (forceStderr) ZUTLoggerEnableStderr();
    } else if (persisted || has("-ZDVDebugEnabled")) {
        platform::retriedByStore(defaults->setBool(true, kZDVDebugModeKey));
        ZUTLoggerInitialize();
        if (forceStderr) ZUTLoggerEnableStderr();
        ZUTLoggerForceDebug();
    } else {
        ZUTLoggerInitialize();
        if (forceStderr) ZUTLoggerEnableStderr();
    }
    platform::ResetRegistry::add("zidedova.logger", [] {
        platform::dispatch::MutexLock lock(gInitMutex);
        gInitialized = false;
    });
    gInitialized.store(true, std::memory_order_release);
}

void ZDVLoggerSetLevel(int level) {
    ZDVLoggerInitialize();
    ZUTLoggerSetLevel(level);
}

void ZDVLoggerWrapper::logWithLevel(int level, std::string_view service, std::string_view code,
                                    std::string_view message, std::initializer_list<ZUTFormatArg> args) {
    ZDVLoggerInitialize();
    ZUTLoggerWrapper::logWithLevel(level, service, code, message, args);
}

}  // namespace zidedova
