#pragma once
// SettingsController: the kit settings of this installation, downloaded from the kit service, cached
// on the device and, when the service does not know the app yet, followed by its registration.
//
// One sync per launch (start()):
//   1. A fresh cache ("settings.json" in the kit platform's caches, see below) is used as it is;
//      otherwise the settings are downloaded and cached with their expiry (now + "cache_duration"
//      seconds, 0 to 30 days; a missing or unusable duration caches nothing for reuse).
//   2. When the settings say "app_status": "new", the app is registered; once the service accepted
//      it, the cached copy says "known", so the next launch does not register again.
//   A failed step is tried again later in this launch (after 60 s, 5 min, 15 min of the shared
//   dispatch Clock), and at the next launch in any case. Nothing here ever blocks the caller.
//
// Cache file: {"expires_at": <seconds since 1970>, "settings": {...the service's document...}}. A
// damaged file counts as no cache and is replaced by the next download.
//
// Threads: everything runs on the controller's serial queue "io.verira.settings"; public methods may
// be called from any thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kit_platform/KitService.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"

namespace verira {

inline constexpr const char* kSettingsQueueLabel = "io.verira.settings";
inline constexpr const char* kSettingsFileName = "settings.json";
inline constexpr double kMaxSettingsCacheSeconds = 30 * 24 * 3600;
inline constexpr double kSettingsRetryDelays[] = {60, 300, 900};

// What the registration says of the app.
struct AppFacts {
    std::string bundleIdentifier;
    std::string installationIdentifier;
    std::string displayVersion;
    std::string buildVersion;
};

class SettingsController : public std::enable_shared_from_this<SettingsController> {
public:
    enum class State { Idle, Working, WaitingToRetry, Done, GaveUp };
    using Now = std::function<platform::Date()>;

    // `cachePath` empty: nothing is cached (the device has no caches directory).
    SettingsController(std::shared_ptr<KitServiceClient> client, AppFacts facts, std::string cachePath,
                       Now now = &platform::Date::now);

    // Starts the sync on the queue; a second call does nothing.
    void start();

    // The settings in use (null until known).
    platform::Value settings() const;
    State state() const;
    // Failed attempts in this launch.
    int failures() const;
    const platform::dispatch::DispatchQueue& queue() const { return queue_; }

private:
    void sync() REQUIRES(queue_);
    std::optional<platform::Value> freshCache() REQUIRES(queue_);
    void writeCache(const platform::Value& settings, double expiresAt);
    void use(platform::Value settings);
    void registerApp();
    void failed(const std::string& what, const platform::Error& error);
    void setState(State state);

    std::shared_ptr<KitServiceClient> client_;
    AppFacts facts_;
    std::string cachePath_;
    Now now_;
    platform::dispatch::DispatchQueue queue_;

    // Written on the queue only; read from anywhere under the lock.
    mutable platform::dispatch::Mutex mutex_;
    bool started_ GUARDED_BY(mutex_) = false;
    State state_ GUARDED_BY(mutex_) = State::Idle;
    platform::Value settings_ GUARDED_BY(mutex_);
    int failures_ GUARDED_BY(mutex_) = 0;
    // Queue-only.
    double expiresAt_ GUARDED_BY(queue_) = 0;
};

}  // namespace verira
