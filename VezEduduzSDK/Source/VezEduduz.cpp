// The facade's spine: start-up, app id, settings, privacy consent, the log sink and "ios_params".
#include "VezEduduzSDK/Source/VezEduduz.h"

#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzDialogController.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzLocation.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationSettings.h"
#include "VezEduduzSDK/Source/VezEduduzTrackIAP.h"
#include "VezEduduzSDK/Source/VezEduduzTrackZidedovaAnalytics.h"
#include "VezEduduzSDK/Source/VezEduduzWebView.h"
#include "VezEduduzSDK/Source/internal/VezEduduzEmailInternal.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/UUID.h"
#include "platform/objc/Runtime.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

using platform::Value;
using platform::dispatch::MainLoop;

namespace {

constexpr const char* kAppIdKey = "VD_APP_ID";
constexpr const char* kPlayerIdKey = "VD_PLAYER_ID";
constexpr const char* kRegisteredWithAppleKey = "VD_REGISTERED_WITH_APPLE";
constexpr const char* kPromptBeforeOpeningKey = "PROMPT_BEFORE_OPENING_PUSH_URL";
constexpr const char* kConsentGrantedKey = "GDPR_CONSENT_GRANTED";
constexpr const char* kUsesProvisionalKey = "VEZEDUDUZ_USES_PROVISIONAL_PUSH_AUTHORIZATION";

platform::dispatch::Mutex presenterMutex;
VezEduduz::DialogPresenter presenterOfDialogs GUARDED_BY(presenterMutex);

const char* prefixFor(VELogLevel level) {
    switch (level) {
    case VELogLevel::fatal:
        return "FATAL: ";
    case VELogLevel::error:
        return "ERROR: ";
    case VELogLevel::warn:
        return "WARNING: ";
    case VELogLevel::info:
        return "INFO: ";
    case VELogLevel::debug:
        return "DEBUG: ";
    case VELogLevel::verbose:
        return "VERBOSE: ";
    default:
        return "";
    }
}

// The push client's log sink: any thread.
void logMessageToConsole(VELogLevel level, const std::string& message) {
    int l = static_cast<int>(level);
    if (l < 1 || l > 6) return;
    std::string prefix = prefixFor(level);
    if (static_cast<unsigned>(l) <= static_cast<unsigned>(gLogLevel.load())) platform::consoleLog(prefix + message);
    if (static_cast<unsigned>(l) <= static_cast<unsigned>(gVisualLogLevel.load())) {
        if (auto presenter = VezEduduz::dialogPresenter())
            onMainLoop([presenter, prefix, message] {
                presenter(prefix, message, "", VezEduduzHelper::localizedString("Close"), nullptr);
            });
    }
}

void installSinks() {
    static platform::dispatch::Mutex mutex;
    static bool installed = false;
    platform::dispatch::MutexLock lock(mutex);
    if (installed) return;
    installed = true;
    VezEduduzLogSink::setSink(logMessageToConsole);
    VezEduduzClient::setPrivacyConsentCheck([] { return VezEduduz::requiresUserPrivacyConsent(); });
    // A fresh process has no sink until the client starts again.
    platform::ResetRegistry::add("vezeduduz.sinks", [] {
        platform::dispatch::MutexLock lock(mutex);
        installed = false;
        VezEduduzLogSink::setSink(nullptr);
        VezEduduzClient::setPrivacyConsentCheck(nullptr);
    });
}

const Value* infoValue(std::string_view key) {
    auto bundle = platform::Bundle::mainBundle();
    return bundle ? bundle->objectForInfoDictionaryKey(key) : nullptr;
}

// A usable app id: a non-empty string. A JSON null, a number or "" counts as none.
std::optional<std::string> appIdText(const Value& value) {
    const std::string* s = value.asString();
    if (!s || s->empty()) return std::nullopt;
    return *s;
}

std::optional<std::string> infoString(std::string_view key) {
    const Value* v = infoValue(key);
    return v ? appIdText(*v) : std::nullopt;
}

// The settings value of a number key (bools count as numbers here, as boxed booleans do).
const Value* numberSetting(const Value& settings, std::string_view key) {
    const Value* v = settings.find(key);
    if (!v || !(v->isNumber() || v->isBool())) return nullptr;
    return v;
}

}  // namespace

// ---- start-up ----

namespace {
Value shortFormSettings() {
    return Value::dictionary({{kOSSettingsKeyAutoPrompt, true},
                              {kOSSettingsKeyInAppAlerts, true},
                              {kOSSettingsKeyInAppLaunchURL, true},
                              {kOSSSettingsKeyPromptBeforeOpeningPushURL, false}});
}
}  // namespace

void VezEduduz::initWithLaunchOptions(const Value& launchOptions, const Value& appId) {
    initWithLaunchOptions(launchOptions, appId, nullptr, nullptr, shortFormSettings());
}

void VezEduduz::initWithLaunchOptions(const Value& launchOptions, const Value& appId,
                                      VEHandleNotificationActionBlock actionBlock) {
    initWithLaunchOptions(launchOptions, appId, nullptr, std::move(actionBlock), shortFormSettings());
}

void VezEduduz::initWithLaunchOptions(const Value& launchOptions, const Value& appId,
                                      VEHandleNotificationActionBlock actionBlock, const Value& settings) {
    initWithLaunchOptions(launchOptions, appId, nullptr, std::move(actionBlock), settings);
}

void VezEduduz::initWithLaunchOptions(const Value& launchOptions, const Value& appId,
                                      VEHandleNotificationReceivedBlock receivedBlock,
                                      VEHandleNotificationActionBlock actionBlock, const Value& settings) {
    if (!platform::dispatch::MainLoop::isMainThread()) {
        platform::dispatch::MainLoop::shared().post(
            [=] { initWithLaunchOptions(launchOptions, appId, receivedBlock, actionBlock, settings); });
        return;
    }
    mainThread.assertOnThread();
    installSinks();
    // Our own dialog queue for visual log lines, unless the app put its own dialogs in place: in place
    // before the first line, so start-up's own lines (a bad app id) are shown too.
    if (!dialogPresenter()) setDialogPresenter(VezEduduzDialogController::sharedInstance().presenter());
    auto& s = statics();
    auto argumentId = appIdText(appId);
    vezeduduz_Log(VELogLevel::verbose, "Called init with app ID: " + argumentId.value_or("(null)"));
    s.initStartTime = clockNow();

    // Before the consent gate: the parameters are fetched even while start-up is parked.
    if (!s.iosParamsRequested && argumentId) downloadIOSParamsWithAppId(*argumentId);

    if (requiresUserPrivacyConsent()) {
        s.delayedInitPending = true;
        s.delayedInitParameters =
            DelayedInitializationParameters{launchOptions, appId, settings, receivedBlock, actionBlock};
        vezeduduz_Log(VELogLevel::verbose,
                      "Delayed initialization of the VezEduduz SDK until the user provides privacy consent using "
                      "the consentGranted() method");
        return;
    }

    if (!initAppId(appId, settings)) return;
    if (argumentId && s.locationShared) VezEduduzLocation::getLocation(false);
    checkIfApplicationImplementsDeprecatedMethods();

    s.receivedBlock = receivedBlock;
    s.actionBlock = actionBlock;
    VezEduduzNotificationHelper::notificationBlocks(receivedBlock, actionBlock);
    VezEduduzTrackZidedovaAnalytics::installOpenTracker();

    if (VezEduduzHelper::isIOSVersionGreaterOrEqual(8.0f))
        s.wasRegisteredAtInit = currentPermissionState()->accepted();
    else
        s.wasRegisteredAtInit =
            currentSubscriptionState()->pushToken().has_value() || defaults::boolean(kRegisteredWithAppleKey);

    if (const Value* v = numberSetting(settings, kOSSettingsKeyInAppLaunchURL))
        defaults::set(kVezEduduzInAppLaunchURLKey, v->boolOr(true));
    else if (!defaults::exists(kVezEduduzInAppLaunchURLKey))
        defaults::set(kVezEduduzInAppLaunchURLKey, true);

    if (const Value* v = numberSetting(settings, kOSSSettingsKeyPromptBeforeOpeningPushURL)) {
        s.promptBeforeOpeningPushURL = v->boolOr(false);
        defaults::set(kPromptBeforeOpeningKey, s.promptBeforeOpeningPushURL);
    } else if (defaults::exists(kPromptBeforeOpeningKey)) {
        s.promptBeforeOpeningPushURL = defaults::boolean(kPromptBeforeOpeningKey);
    }
    VezEduduzHelper::setShouldPromptToShowURL([] { return promptBeforeOpeningPushURL(); });  // any thread
    VezEduduzHelper::setDialogPresenter(VezEduduzDialogController::sharedInstance().presenter());
    VezEduduzHelper::setInAppPagePresenter(VezEduduzWebView::presenter());

    s.autoPrompt = true;
    if (const Value* v = numberSetting(settings, kOSSettingsKeyAutoPrompt)) s.autoPrompt = v->boolOr(true);

    if (const Value* v = numberSetting(settings, kOSSettingsKeyProvidesAppNotificationSettings);
        v && VezEduduzHelper::isIOSVersionGreaterOrEqual(12.0f))
        s.providesAppNotificationSettings = v->boolOr(false);

    if (s.autoPrompt || s.wasRegisteredAtInit) {
        registerForPushNotifications();
    } else {
        checkProvisionalAuthorizationStatus();
        registerForAPNsToken();
    }

    // The older in-app-alerts switch counts only as 0 or 1; the display option wins when it is 0 to 2.
    auto integerSetting = [&](const char* key, int64_t max) -> std::optional<int64_t> {
        const Value* v = numberSetting(settings, key);
        if (!v) return std::nullopt;
        auto n = v->asInteger();
        if (!n || *n < 0 || *n > max) return std::nullopt;
        return n;
    };
    auto inAppAlerts = integerSetting(kOSSettingsKeyInAppAlerts, 1);
    auto displayOption = integerSetting(kOSSettingsKeyInFocusDisplayOption, 2);
    if (displayOption)
        setInFocusDisplayType(static_cast<uint64_t>(*displayOption));
    else if (inAppAlerts)
        setInFocusDisplayType(static_cast<uint64_t>(*inAppAlerts));

    if (!currentSubscriptionState()->userId()) {
        uint64_t generation = s.generation;
        veNotificationSettings()->getNotificationPermissionState(
            [generation](std::shared_ptr<VEPermissionState> state) {
                mainThread.assertOnThread();
                if (statics().generation != generation) return;
                if (state->answeredPrompt())
                    registerUser();
                else
                    registerUserAfterDelay();
            });
    } else {
        registerUser();
    }

    if (launchOptions.find(platform::uikit::kLaunchOptionsRemoteNotificationKey))
        s.coldStartFromTapOnNotification = true;
    clearBadgeCount(false);
    // Media of earlier notifications needs no clearing here: nothing is cached between launches.
    if (!s.purchaseTracker) s.purchaseTracker = VezEduduzTrackIAP::make();
    if (VezEduduzTrackZidedovaAnalytics::needsRemoteParams()) VezEduduzTrackZidedovaAnalytics::init();
}

bool VezEduduz::initAppId(const Value& appId, const Value& settings) {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return initAppId(appId, settings); });
    mainThread.assertOnThread();
    auto& s = statics();
    auto argumentId = appIdText(appId);
    s.app_id = argumentId;
    if (!s.app_id) s.app_id = infoString("VezEduduz_APPID");
    if (!s.app_id) s.app_id = infoString("DediRavezu_APPID");

    if (s.app_id && defaults::string(kAppIdKey) != s.app_id) {
        defaults::setString(kAppIdKey, s.app_id);
        defaults::remove(kPlayerIdKey);
        // The player id in memory belongs to the old app as well: drop it so no session goes there.
        if (s.currentSubscriptionState) s.currentSubscriptionState->clearUserId();
        // So does the e-mail player.
        forgetEmail();
    }

    if (!s.app_id) {
        s.app_id = defaults::string(kAppIdKey);
        if (const Value* omit = settings.find(kOSSettingsKeyInOmitNoAppIdLogging); omit && omit->boolOr(false))
            return true;
        vezeduduz_Log(VELogLevel::fatal, "VezEduduz AppId never set!");
    }

    if (!s.app_id || !platform::UUID::fromString(*s.app_id)) {
        vezeduduz_Log(VELogLevel::fatal,
                      std::string("VezEduduz AppId format is invalid.\nExample: '") + kExampleAppId + "'\n");
        return false;
    }

    if (argumentId && (*argumentId == kExampleAppId || *argumentId == kExampleAppId2))
        vezeduduz_Log(VELogLevel::warn,
                      "VezEduduz Example AppID detected, please update to your app's id found on vezeduduz.test");
    return true;
}

// ---- settings ----

void VezEduduz::setInFocusDisplayType(uint64_t displayType) {
    onMainLoop([displayType] {
        mainThread.assertOnThread();
        uint64_t value = displayType;
        if (value == 2 && !VezEduduzHelper::isIOSVersionGreaterOrEqual(10.0f)) value = 1;
        statics().inFocusDisplayType = static_cast<VEInFocusDisplayType>(value);
    });
}

VEInFocusDisplayType VezEduduz::inFocusDisplayType() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().inFocusDisplayType; });
}

void VezEduduz::setLogLevel(VELogLevel logLevel, VELogLevel visualLevel) {
    installSinks();
    addStaticsReset();
    gLogLevel = static_cast<int>(logLevel);
    gVisualLogLevel = static_cast<int>(visualLevel);
}

void VezEduduz::vezeduduz_Log(VELogLevel level, const std::string& message) { logMessageToConsole(level, message); }

void VezEduduz::setDialogPresenter(DialogPresenter presenter) {
    addStaticsReset();
    platform::dispatch::MutexLock lock(presenterMutex);
    presenterOfDialogs = std::move(presenter);
}

VezEduduz::DialogPresenter VezEduduz::dialogPresenter() {
    platform::dispatch::MutexLock lock(presenterMutex);
    return presenterOfDialogs;
}

// ---- privacy consent ----

void VezEduduz::setRequiresUserPrivacyConsent(bool required) {
    addStaticsReset();
    gConsentRequiredByApp = required;
}

bool VezEduduz::requiresUserPrivacyConsent() {
    const Value* info = infoValue("VezEduduz_require_privacy_consent");
    bool byInfo = info && info->boolOr(false);
    if (!byInfo && !gConsentRequiredByApp) return false;
    if (!defaults::exists(kConsentGrantedKey)) defaults::set(kConsentGrantedKey, false);
    return !defaults::boolean(kConsentGrantedKey);
}

bool VezEduduz::shouldLogMissingPrivacyConsentErrorWithMethodName(const std::optional<std::string>& methodName) {
    bool missing = requiresUserPrivacyConsent();
    if (missing && methodName)
        vezeduduz_Log(VELogLevel::warn, "Your application has called " + *methodName +
                                            " before the user granted privacy permission. Please call "
                                            "`consentGranted(bool)` in order to provide user privacy consent");
    return missing;
}

void VezEduduz::consentGranted(bool granted) {
    onMainLoop([granted] {
        mainThread.assertOnThread();
        defaults::set(kConsentGrantedKey, granted);
        auto& s = statics();
        if (!granted || !s.delayedInitPending || !s.delayedInitParameters) return;
        // Taken out before the replay, so a replay that parks again (or a second grant) cannot run it twice.
        auto parked = std::move(*s.delayedInitParameters);
        s.delayedInitParameters.reset();
        s.delayedInitPending = false;
        initWithLaunchOptions(parked.launchOptions, parked.appId, parked.receivedBlock, parked.actionBlock,
                              parked.settings);
    });
}

// ---- application parameters ----

void VezEduduz::downloadIOSParamsWithAppId(const std::string& appId) {
    if (!MainLoop::isMainThread()) return onMainLoop([=] { downloadIOSParamsWithAppId(appId); });
    mainThread.assertOnThread();
    vezeduduz_Log(VELogLevel::debug, "Downloading iOS parameters for this application");
    auto& s = statics();
    s.iosParamsRequested = true;
    uint64_t generation = s.generation;
    // The stored player belongs to the stored app id: another app's parameters are asked for without it.
    std::optional<std::string> playerId;
    if (defaults::string(kAppIdKey) == appId) playerId = currentSubscriptionState()->userId();
    auto request = VERequestGetIosParams::withUserId(playerId, appId);
    VezEduduzClient::sharedClient().executeRequest(
        request,
        [generation](const Value& result) {
            mainThread.assertOnThread();
            // Delivered on the main loop.
            auto& st = statics();
            if (st.generation != generation) return;
            if (const Value* auth = result.find("require_email_auth"))
                currentEmailSubscriptionState()->setRequiresEmailAuth(auth->boolOr(false));
            if (!st.autoPrompt) {
                const Value* provisional = result.find("uses_provisional_auth");
                if (provisional && provisional->boolOr(false)) {
                    defaults::set(kUsesProvisionalKey, 1);
                    checkProvisionalAuthorizationStatus();
                }
            }
            VezEduduzTrackZidedovaAnalytics::updateFromDownloadParams(result);
            iosParamsAnswered();
        },
        [generation](const platform::Error& error) {
            mainThread.assertOnThread();
            if (statics().generation == generation) iosParamsFailed(error);
        });
}

// ---- accessors ----

std::optional<std::string> VezEduduz::app_id() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().app_id; });
}
std::optional<std::string> VezEduduz::mUserId() {
    return answerOnMainLoop([&] { return currentSubscriptionState()->userId(); });
}
void VezEduduz::setMSDKType(const std::string& type) {
    onMainLoop([=]() REQUIRES(mainThread) { statics().mSDKType = type; });
}
void VezEduduz::setMSubscriptionStatus(int32_t status) {
    onMainLoop([=]() REQUIRES(mainThread) { statics().mSubscriptionStatus = status; });
}
int32_t VezEduduz::mSubscriptionStatus() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().mSubscriptionStatus; });
}
void VezEduduz::setWaitingForApnsResponse(bool waiting) {
    onMainLoop([=]() REQUIRES(mainThread) { statics().waitingForApnsResponse = waiting; });
}
bool VezEduduz::waitingForApnsResponse() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().waitingForApnsResponse; });
}
bool VezEduduz::providesAppNotificationSettings() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().providesAppNotificationSettings; });
}
bool VezEduduz::shouldDelaySubscriptionSettingsUpdate() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().shouldDelaySubscriptionSettingsUpdate; });
}
bool VezEduduz::iosParamsReceived() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().iosParamsReceived; });
}
bool VezEduduz::promptBeforeOpeningPushURL() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().promptBeforeOpeningPushURL; });
}
bool VezEduduz::autoPrompt() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().autoPrompt; });
}

bool VezEduduz::coldStartFromTapOnNotification() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return coldStartFromTapOnNotification(); });
    mainThread.assertOnThread();
    bool value = statics().coldStartFromTapOnNotification;
    statics().coldStartFromTapOnNotification = false;
    return value;
}

void VezEduduz::setDelayIntervals(double maxApnsWait, double registrationDelay) {
    if (!MainLoop::isMainThread()) return onMainLoop([=] { setDelayIntervals(maxApnsWait, registrationDelay); });
    mainThread.assertOnThread();
    statics().maxApnsWait = maxApnsWait;
    statics().registrationDelay = registrationDelay;
}

}  // namespace vezeduduz
