#include "kit_platform/KitSettings.h"

#include <cmath>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PendingWrites.h"

namespace verira {

using platform::Value;

namespace {

constexpr size_t kMaxCacheBytes = 1024 * 1024;

// Seconds the settings may be reused: "cache_duration" when it is a number in range, else 0.
double cacheDuration(const Value& settings) {
    auto duration = settings["cache_duration"].asDouble();
    if (!duration || !std::isfinite(*duration) || *duration <= 0) return 0;
    return std::min(*duration, kMaxSettingsCacheSeconds);
}

}  // namespace

SettingsController::SettingsController(std::shared_ptr<KitServiceClient> client, AppFacts facts, std::string cachePath,
                                       Now now)
    : client_(std::move(client)), facts_(std::move(facts)), cachePath_(std::move(cachePath)), now_(std::move(now)),
      queue_(kSettingsQueueLabel) {}

void SettingsController::start() {
    {
        platform::dispatch::MutexLock lock(mutex_);
        if (started_) return;
        started_ = true;
    }
    queue_.async([self = shared_from_this()] {
        self->queue_.assertCurrent();
        self->sync();
    });
}

Value SettingsController::settings() const {
    platform::dispatch::MutexLock lock(mutex_);
    return settings_;
}

SettingsController::State SettingsController::state() const {
    platform::dispatch::MutexLock lock(mutex_);
    return state_;
}

int SettingsController::failures() const {
    platform::dispatch::MutexLock lock(mutex_);
    return failures_;
}

void SettingsController::setState(State state) {
    platform::dispatch::MutexLock lock(mutex_);
    state_ = state;
}

std::optional<Value> SettingsController::freshCache() {
    if (cachePath_.empty()) return std::nullopt;
    auto& files = platform::FileManager::defaultManager();
    platform::PendingWrites::removeStaleTemporaryFilesOnce(cachePath_);  // its writes run on this queue too
    if (!files.fileExists(cachePath_)) return std::nullopt;
    auto text = files.stringWithContentsOfFile(cachePath_, kMaxCacheBytes);
    std::optional<Value> cached;
    if (text)
        if (auto read = platform::json::read(*text)) cached = std::move(read).value();
    const Value* settings = cached ? cached->find("settings") : nullptr;
    double expiresAt = cached ? (*cached)["expires_at"].doubleOr(NAN) : NAN;
    if (!settings || !settings->isDictionary() || !std::isfinite(expiresAt)) {
        platform::consoleLog("[Verira] The cached kit settings are damaged; they will be downloaded again");
        return std::nullopt;
    }
    double now = now_().timeIntervalSince1970();
    // An expiry further ahead than any duration we accept means the clock moved back: ask again.
    if (expiresAt <= now || expiresAt > now + kMaxSettingsCacheSeconds) return std::nullopt;
    expiresAt_ = expiresAt;
    return *settings;
}

void SettingsController::writeCache(const Value& settings, double expiresAt) {
    if (cachePath_.empty()) return;
    auto text = platform::json::write(Value::dictionary({{"expires_at", expiresAt}, {"settings", settings}}));
    // A write the disk refuses is kept and tried again until it lands, so the next launch need not ask.
    platform::PendingWrites::Options options;
    options.makeFolder = true;
    auto written = text ? platform::PendingWrites::write(cachePath_, *text, options) : platform::Result<void>();
    if (!text || !written) platform::consoleLog("[Verira] Could not cache the kit settings at " + cachePath_);
}

void SettingsController::sync() {
    setState(State::Working);
    if (auto cached = freshCache()) {
        use(std::move(*cached));
        return;
    }
    client_->fetchSettings(facts_.bundleIdentifier, facts_.installationIdentifier,
                           [self = shared_from_this()](platform::Result<Value> answer) {
                               self->queue_.async([self, answer = std::move(answer)]() mutable {
                                   self->queue_.assertCurrent();
                                   if (!answer) return self->failed("download the kit settings", answer.error());
                                   double duration = cacheDuration(*answer);
                                   self->expiresAt_ = self->now_().timeIntervalSince1970() + duration;
                                   if (duration > 0) self->writeCache(*answer, self->expiresAt_);
                                   self->use(std::move(answer).value());
                               });
                           });
}

void SettingsController::use(Value settings) {
    bool isNew = settings["app_status"].stringOr("") == "new";
    {
        platform::dispatch::MutexLock lock(mutex_);
        settings_ = std::move(settings);
    }
    if (isNew) return registerApp();
    setState(State::Done);
}

void SettingsController::registerApp() {
    Value body = Value::dictionary({{"bundle_id", facts_.bundleIdentifier},
                                    {"installation_id", facts_.installationIdentifier},
                                    {"display_version", facts_.displayVersion},
                                    {"build_version", facts_.buildVersion}});
    client_->registerApp(body, [self = shared_from_this()](platform::Result<void> answer) {
        self->queue_.async([self, answer = std::move(answer)] {
            self->queue_.assertCurrent();
            if (!answer) return self->failed("register the app with the kit service", answer.error());
            Value known = self->settings();
            known.set("app_status", "known");
            // Only a cached copy is rewritten: settings that were not to be reused stay uncached.
            if (self->expiresAt_ > self->now_().timeIntervalSince1970()) self->writeCache(known, self->expiresAt_);
            {
                platform::dispatch::MutexLock lock(self->mutex_);
                self->settings_ = std::move(known);
            }
            self->setState(State::Done);
        });
    });
}

void SettingsController::failed(const std::string& what, const platform::Error& error) {
    int failures;
    {
        platform::dispatch::MutexLock lock(mutex_);
        failures = ++failures_;
    }
    constexpr int kRetries = sizeof kSettingsRetryDelays / sizeof kSettingsRetryDelays[0];
    if (failures > kRetries) {
        platform::consoleLog("[Verira] Could not " + what + " (" + error.localizedDescription() +
                             "); trying again at the next launch");
        setState(State::GaveUp);
        return;
    }
    double delay = kSettingsRetryDelays[failures - 1];
    platform::consoleLog("[Verira] Could not " + what + " (" + error.localizedDescription() + "); trying again in " +
                         std::to_string(static_cast<int>(delay)) + " s");
    setState(State::WaitingToRetry);
    queue_.asyncAfter(delay, [self = shared_from_this()] {
        self->queue_.assertCurrent();
        self->sync();
    });
}

}  // namespace verira
