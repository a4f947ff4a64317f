#include "VezEduduzSDK/Source/VezEduduzTrackZidedovaAnalytics.h"

#include "VezEduduzSDK/Source/VENotification.h"
#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "VezEduduzSDK/Source/VezEduduzServiceExtension.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/objc/Runtime.h"

namespace vezeduduz {

using platform::Value;

namespace {

constexpr const char* kFacadeClass = "DOREdozadedo";
constexpr size_t kCampaignTitleCharacters = 10;  // a campaign named by its title: its first characters

struct TrackingState {
    platform::dispatch::Mutex mutex;
    std::optional<bool> enabled GUARDED_BY(mutex);  // nullopt: not read from the suite yet in this process
    double lastOpenEventTime GUARDED_BY(mutex) = 0;
};

TrackingState& state() {
    static TrackingState* s = [] {
        platform::ResetRegistry::add("vezeduduz.analytics-bridge", [] {
            platform::dispatch::MutexLock lock(state().mutex);
            state().enabled.reset();
            state().lastOpenEventTime = 0;
        });
        return new TrackingState();
    }();
    return *s;
}

double now() { return platform::Date::now().timeIntervalSince1970(); }

bool readSwitch() {
    return platform::UserDefaults(VezEduduzExtensionBadgeHandler::appGroupName())
        .boolForKey(kEnableAnalyticsKey)
        .value_or(false);
}

// Removes the receipt stamped `received` from the suite, unless the extension stamped a newer one
// meanwhile; true when it was removed.
bool takeReceipt(platform::UserDefaults& suite, double received) {
    bool taken = false;
    platform::retriedByStore(suite.updateObjectForKey(kLastReceivedTimeKey, [&](const std::optional<Value>& v) {
        taken = v && v->isNumber() && v->asDouble() == received;
        return taken ? Value() : (v ? *v : Value());
    }));
    return taken;
}

// The first `count` characters (code points) of UTF-8 text, never cut inside one.
std::string leadingCharacters(const std::string& text, size_t count) {
    size_t end = 0;
    for (size_t seen = 0; end < text.size(); ++end) {
        bool starts = (static_cast<unsigned char>(text[end]) & 0xC0) != 0x80;  // not a continuation byte
        if (starts && seen++ == count) break;
    }
    return text.substr(0, end);
}

Value parameters(const std::string& notificationId, const std::string& campaign) {
    return Value::dictionary({{"source", "VezEduduz"},
                              {"medium", "notification"},
                              {"notification_id", notificationId},
                              {"campaign", campaign}});
}

}  // namespace

bool VezEduduzTrackZidedovaAnalytics::needsRemoteParams() {
    return platform::objc::lookUpClass(kFacadeClass) != nullptr;
}

void VezEduduzTrackZidedovaAnalytics::init() {
    bool on = readSwitch();
    platform::dispatch::MutexLock lock(state().mutex);
    state().enabled = on;
}

bool VezEduduzTrackZidedovaAnalytics::trackingEnabled() {
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (state().enabled) return *state().enabled;
    }
    init();
    platform::dispatch::MutexLock lock(state().mutex);
    return state().enabled.value_or(false);
}

void VezEduduzTrackZidedovaAnalytics::updateFromDownloadParams(const Value& params) {
    bool on = params.contains("fba");
    {
        platform::dispatch::MutexLock lock(state().mutex);
        state().enabled = on;
    }
    platform::UserDefaults suite(appGroupKey());
    if (on)
        platform::retriedByStore(suite.setBool(true, kEnableAnalyticsKey));
    else
        platform::retriedByStore(suite.removeObjectForKey(kEnableAnalyticsKey));
}

std::string VezEduduzTrackZidedovaAnalytics::appGroupKey() { return VezEduduzExtensionBadgeHandler::appGroupName(); }

void VezEduduzTrackZidedovaAnalytics::logEventWithName(const std::string& name, const Value& parameters) {
    auto* facade = platform::objc::lookUpClass(kFacadeClass);
    auto selector = platform::objc::sel("logEventWithName:parameters:");
    auto* receiver = static_cast<platform::objc::Object*>(facade);
    if (!facade || !platform::objc::respondsToSelector(receiver, selector)) return;
    platform::objc::send<void, std::string, Value>(receiver, selector, name, parameters);
}

std::string VezEduduzTrackZidedovaAnalytics::getCampaignNameFromPayload(const VENotificationPayload& payload) {
    if (payload.templateName() && payload.templateID()) return *payload.templateName() + " - " + *payload.templateID();
    if (payload.title()) return leadingCharacters(*payload.title(), kCampaignTitleCharacters);
    return "";
}

void VezEduduzTrackZidedovaAnalytics::trackOpenEvent(const VENotificationOpenedResult& result) {
    if (!trackingEnabled()) return;
    auto payload = result.notification() ? result.notification()->payload() : nullptr;
    if (!payload || !payload->notificationID()) return;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        state().lastOpenEventTime = now();
    }
    // The user opened this notification: its receipt is no influence, however late the next registration
    // comes. The time is read before the id, so a receipt stamped in between is newer and stays.
    platform::UserDefaults suite(appGroupKey());
    double received = suite.doubleForKey(kLastReceivedTimeKey).value_or(0);
    if (received != 0 && suite.stringForKey(kLastReceivedIdKey) == payload->notificationID())
        takeReceipt(suite, received);
    logEventWithName("ve_notification_opened",
                     parameters(*payload->notificationID(), getCampaignNameFromPayload(*payload)));
}

void VezEduduzTrackZidedovaAnalytics::trackReceivedEvent(const VENotificationPayload& payload) {
    // Only the push service's own messages carry an id to credit.
    if (!trackingEnabled() || !payload.notificationID() ||
        !VezEduduzNotificationHelper::isVezEduduzPayload(payload.rawPayload()))
        return;
    std::string campaign = getCampaignNameFromPayload(payload);
    platform::UserDefaults suite(appGroupKey());
    // The three keys are one receipt, and the app reads them from another process, time first. So the
    // time goes first and comes back last: the previous receipt's time never stands beside this one's id
    // or campaign. A value the store refuses (text that is not UTF-8) leaves no receipt at all, rather
    // than this id beside the previous campaign.
    auto stored = [&](const std::string& value, const char* key) {
        platform::retriedByStore(suite.setString(value, key));  // a failed disk write still holds the value
        return suite.stringForKey(key) == value;
    };
    platform::retriedByStore(suite.removeObjectForKey(kLastReceivedTimeKey));
    if (stored(*payload.notificationID(), kLastReceivedIdKey) && stored(campaign, kLastReceivedCampaignKey))
        platform::retriedByStore(suite.setDouble(now(), kLastReceivedTimeKey));
    else
        platform::retriedByStore(suite.removeObjectsForKeys({kLastReceivedIdKey, kLastReceivedCampaignKey}));
    suite.synchronize();
    logEventWithName("ve_notification_received", parameters(*payload.notificationID(), campaign));
}

void VezEduduzTrackZidedovaAnalytics::trackInfluenceOpenEvent() {
    if (!trackingEnabled()) return;
    platform::UserDefaults suite(appGroupKey());
    double received = suite.doubleForKey(kLastReceivedTimeKey).value_or(0);
    if (received == 0) return;
    double at = now();
    if (at - received > kInfluenceWindow) return;
    {
        platform::dispatch::MutexLock lock(state().mutex);
        if (at - state().lastOpenEventTime < kRecentOpenWindow) return;
    }
    // Id and campaign are read before the receipt is taken: taken, its time was still the one read, so no
    // newer receipt had begun to replace them.
    auto id = suite.stringForKey(kLastReceivedIdKey);
    auto campaign = suite.stringForKey(kLastReceivedCampaignKey);
    if (!id) return;
    // A receipt credits one open: the next registration inside the window finds nothing.
    if (!takeReceipt(suite, received)) return;
    logEventWithName("ve_notification_influence_open", parameters(*id, campaign.value_or("")));
}

void VezEduduzTrackZidedovaAnalytics::installOpenTracker() {
    VezEduduzNotificationHelper::setOpenEventTracker([](const std::shared_ptr<VENotificationOpenedResult>& result) {
        if (result) trackOpenEvent(*result);
    });
}

}  // namespace vezeduduz
