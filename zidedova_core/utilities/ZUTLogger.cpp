#include "zidedova_core/utilities/ZUTLogger.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/ResetRegistry.h"
#include "zidedova_core/utilities/ZUTAppEnvironmentUtil.h"

namespace zidedova {

namespace {

// What the system-log client holds; touched only on the logger queue.
struct Client {
    int filterMask = 63;
    bool echoStderr = false;
    bool stderrEnabled = false;
};

struct LoggerState {
    platform::dispatch::Mutex mutex;
    bool initialized GUARDED_BY(mutex) = false;
    std::string version GUARDED_BY(mutex);
    std::atomic<bool> initializedFast{false};
    std::atomic<int> level{ZUTLoggerLevelNotice};
    std::atomic<bool> forcedDebug{false};
    platform::dispatch::DispatchQueue queue{kZUTLoggerQueueLabel};
    Client client GUARDED_BY(queue);
};

void resetLogger();

LoggerState& state() {
    static LoggerState* s = [] {
        auto* made = new LoggerState();  // never destroyed: loggers may run at exit
        platform::ResetRegistry::add("zidedova.utilities.logger", resetLogger);
        return made;
    }();
    return *s;
}

// Back to the state before ZUTLoggerInitialize (level 5, no forced debug, empty version, no standard
// error), after the lines already accepted are written.
// The client, for blocks of the logger queue.
Client& queueClient() {
    auto& s = state();
    s.queue.assertCurrent();
    return s.client;
}

void resetLogger() {
    auto& s = state();
    ZUTLoggerFlush();
    {
        platform::dispatch::MutexLock lock(s.mutex);
        s.initialized = false;
        s.initializedFast = false;
        s.version.clear();
    }
    s.level = ZUTLoggerLevelNotice;
    s.forcedDebug = false;
    s.queue.sync([] { queueClient() = Client{}; });
}

int maskForLevel(int level) { return (1 << (level + 1)) - 1; }

}  // namespace

void ZUTLoggerInitialize() {
    auto& s = state();
    if (s.initializedFast.load(std::memory_order_acquire)) return;
    platform::dispatch::MutexLock lock(s.mutex);
    if (s.initialized) return;
    bool echo = std::atoi(ZUTAppEnvironmentUtil::systemVersion().c_str()) < 10;
    s.level = ZUTLoggerLevelNotice;
    s.queue.async([echo] {
        auto& c = queueClient();
        c.echoStderr = echo;
        c.filterMask = maskForLevel(ZUTLoggerLevelNotice);
    });
    s.initialized = true;
    s.initializedFast.store(true, std::memory_order_release);
}

void ZUTLoggerEnableStderr() {
    state().queue.async([] { queueClient().stderrEnabled = true; });
}

void ZUTLoggerForceDebug() {
    if (ZUTAppEnvironmentUtil::isFromAppStore()) return;
    state().forcedDebug = true;
    ZUTLoggerSetLevel(ZUTLoggerLevelDebug);
}

void ZUTLoggerSetLevel(int level) {
    if (level < ZUTLoggerLevelError || level > ZUTLoggerLevelDebug) {
        ZUTLoggerLogError("[ZUTLogger]", false, "I-COR000023", "Invalid logger level, %ld", level);
        return;
    }
    ZUTLoggerInitialize();
    if (level >= ZUTLoggerLevelNotice && ZUTAppEnvironmentUtil::isFromAppStore()) return;
    state().level = level;
    state().queue.async([mask = maskForLevel(level)] { queueClient().filterMask = mask; });
}

bool ZUTLoggerIsLoggableLevel(int level) { return state().forcedDebug.load() || level <= state().level.load(); }

void ZUTLoggerSetVersion(const char* version) {
    platform::dispatch::MutexLock lock(state().mutex);
    state().version = version ? version : "";
}

bool ZUTLoggerShouldLog(int level, bool forceLog) { return forceLog || ZUTLoggerIsLoggableLevel(level); }

void ZUTLoggerWriteMessage(int level, std::string_view service, std::string_view messageCode,
                           const std::string& message) {
    auto& s = state();
    std::string line;
    {
        platform::dispatch::MutexLock lock(s.mutex);
        line = s.version;
    }
    line.append(" - ").append(service).append("[").append(messageCode).append("] ").append(message);
    s.queue.async([level, line = std::move(line)] {
        const Client& c = queueClient();
        if (level < 0 || level > 7 || !((c.filterMask >> level) & 1)) return;
        if (c.stderrEnabled || c.echoStderr) std::fprintf(stderr, "%s\n", line.c_str());
        platform::DeviceEvents::post(
            "syslog",
            platform::Value::dictionary({{"facility", kZUTLoggerFacility}, {"level", level}, {"text", line}}));
    });
}

void ZUTLoggerWrapper::logWithLevel(int level, std::string_view service, std::string_view code,
                                    std::string_view message, std::initializer_list<ZUTFormatArg> args) {
    ZUTLoggerInitialize();
    if (!ZUTLoggerShouldLog(level, false)) return;
    ZUTLoggerWriteMessage(level, service, code, ZUTFormat(message, args));
}

void ZUTLoggerFlush() {
    state().queue.sync([] {});
}

}  // namespace zidedova
