#include "platform/foundation/ProcessInfo.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <utility>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/PlatformConfig.h"

extern char** environ;

namespace platform {

ProcessInfo& ProcessInfo::processInfo() {
    static ProcessInfo* info = new ProcessInfo;  // read from threads that may outlive static teardown
    return *info;
}

ProcessInfo::ProcessInfo() {
    // Read once, before other threads exist to call setenv; later reads never touch environ.
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        size_t eq = entry.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        realEnvironment_.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    arguments_.push_back(PlatformConfig::current().processName);
}

std::vector<std::string> ProcessInfo::arguments() const {
    dispatch::MutexLock lock(mutex_);
    return arguments_;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
    dispatch::MutexLock lock(mutex_);
    arguments_ = std::move(arguments);
}

void ProcessInfo::setArguments(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc && argv && argv[i]; ++i) args.emplace_back(argv[i]);
    setArguments(std::move(args));
}

std::map<std::string, std::string> ProcessInfo::environment() const {
    dispatch::MutexLock lock(mutex_);
    auto env = realEnvironment_;
    for (const auto& [name, value] : overrides_) {
        if (value)
            env[name] = *value;
        else
            env.erase(name);
    }
    return env;
}

std::optional<std::string> ProcessInfo::environmentValue(std::string_view name) const {
    dispatch::MutexLock lock(mutex_);
    std::string key(name);
    if (auto it = overrides_.find(key); it != overrides_.end()) return it->second;
    if (auto it = realEnvironment_.find(key); it != realEnvironment_.end()) return it->second;
    return std::nullopt;
}

void ProcessInfo::setEnvironmentValue(std::string name, std::optional<std::string> value) {
    dispatch::MutexLock lock(mutex_);
    overrides_[std::move(name)] = std::move(value);
}

void ProcessInfo::clearEnvironmentOverrides() {
    dispatch::MutexLock lock(mutex_);
    overrides_.clear();
}

std::string ProcessInfo::processName() const { return PlatformConfig::current().processName; }

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const { return PlatformConfig::systemVersion(); }

std::string ProcessInfo::operatingSystemVersionString() const { return "Version " + operatingSystemVersion().string(); }

bool ProcessInfo::isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const {
    return operatingSystemVersion() >= version;
}

std::string ProcessInfo::globallyUniqueString() const {
    static std::atomic<uint64_t> counter{0};
    std::random_device rd;
    uint32_t r[4] = {rd(), rd(), rd(), rd()};
    char buf[96];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%04X-%04X%08X-%d-%016llX", r[0], r[1] >> 16, r[1] & 0xFFFF,
                  r[2] >> 16, r[2] & 0xFFFF, r[3], int(::getpid()),
                  static_cast<unsigned long long>(counter.fetch_add(1)));
    return buf;
}

double ProcessInfo::systemUptime() const {
    struct timespec ts;
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

std::vector<std::string> ProcessInfo::loadedImageNames() const {
    std::shared_future<std::vector<std::string>> gathered;
    {
        dispatch::MutexLock lock(mutex_);
        if (!loadedImageNames_.empty()) return loadedImageNames_;
        gathered = gatheredImageNames_;
    }
    if (gathered.valid() && !gathered.get().empty()) return gathered.get();  // waits outside the lock
    std::string name = processName();
    return {
        deviceBundlePath() + "/" + name,
        "/usr/lib/libobjc.A.dylib",
        "/usr/lib/libSystem.B.dylib",
        "/System/Library/Frameworks/Foundation.framework/Foundation",
        "/System/Library/Frameworks/UIKit.framework/UIKit",
        "/System/Library/Frameworks/WebKit.framework/WebKit",
        "/System/Library/Frameworks/UserNotifications.framework/UserNotifications",
        "/System/Library/Frameworks/SystemConfiguration.framework/SystemConfiguration",
    };
}

void ProcessInfo::setLoadedImageNames(std::vector<std::string> names) {
    std::shared_future<std::vector<std::string>> replaced;  // let go outside the lock: the last one waits
    dispatch::MutexLock lock(mutex_);
    loadedImageNames_ = std::move(names);
    replaced = std::exchange(gatheredImageNames_, {});
}

void ProcessInfo::setLoadedImageNamesBeingGathered(std::shared_future<std::vector<std::string>> names) {
    std::shared_future<std::vector<std::string>> replaced;
    dispatch::MutexLock lock(mutex_);
    loadedImageNames_.clear();
    replaced = std::exchange(gatheredImageNames_, std::move(names));
}

}  // namespace platform
