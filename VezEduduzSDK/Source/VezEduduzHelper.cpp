#include "VezEduduzSDK/Source/VezEduduzHelper.h"

#include <cstdlib>
#include <memory>
#include <random>

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/VezEduduzReachability.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Digest.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Device.h"

namespace vezeduduz {
namespace {

using platform::dispatch::MainLoop;

struct LaunchHooks {
    std::function<bool()> shouldPrompt;
    VezEduduzHelper::InAppPagePresenter inAppPage;
    VezEduduzHelper::DialogPresenter dialog;
    std::string appStoreHost = "apps.store.tesmar.test";
};
platform::dispatch::Mutex hooksMutex;
LaunchHooks hooks GUARDED_BY(hooksMutex);

LaunchHooks currentHooks() {
    platform::dispatch::MutexLock lock(hooksMutex);
    return hooks;
}

constexpr double kOpenDelay = 0.25;

// Each "%@" of a localised template takes the next object ("" when they run out); "%%" is "%".
std::string withObjects(std::string_view text, std::initializer_list<std::string> objects) {
    std::string out;
    auto next = objects.begin();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == '@' || text[i + 1] == '%')) {
            if (text[++i] == '%')
                out += '%';
            else if (next != objects.end())
                out += *next++;
        } else {
            out += text[i];
        }
    }
    return out;
}

void openLaunchURL(const platform::URL& url, bool openInApp) {
    auto current = currentHooks();
    if (openInApp && VezEduduzHelper::isWWWScheme(url) && current.inAppPage) {
        current.inAppPage(url);
        return;
    }
    auto app = platform::uikit::Application::shared();
    if (!app || !app->openURL(url)) {
        VezEduduzLogSink::log(VELogLevel::warn, "Could not open launch URL " + url.absoluteString());
    }
}

}  // namespace

void VezEduduzHelper::setShouldPromptToShowURL(std::function<bool()> shouldPrompt) {
    platform::dispatch::MutexLock lock(hooksMutex);
    hooks.shouldPrompt = std::move(shouldPrompt);
}

void VezEduduzHelper::setInAppPagePresenter(InAppPagePresenter presenter) {
    platform::dispatch::MutexLock lock(hooksMutex);
    hooks.inAppPage = std::move(presenter);
}

void VezEduduzHelper::setDialogPresenter(DialogPresenter presenter) {
    platform::dispatch::MutexLock lock(hooksMutex);
    hooks.dialog = std::move(presenter);
}

std::string VezEduduzHelper::appStoreWebHost() { return currentHooks().appStoreHost; }

void VezEduduzHelper::displayWebView(const platform::URL& url) {
    auto defaults = platform::UserDefaults::standard();
    if (!defaults->objectForKey(kVezEduduzInAppLaunchURLKey)) {
        platform::retriedByStore(defaults->setBool(true, kVezEduduzInAppLaunchURLKey));
        defaults->synchronize();
    }
    bool openInApp = defaults->boolForKey(kVezEduduzInAppLaunchURLKey).value_or(false);
    auto storeHost = appStoreWebHost();
    if (!storeHost.empty() && url.absoluteString().find(storeHost) != std::string::npos) openInApp = false;

    auto openingStep = [url, openInApp](bool answer) {
        if (!answer) return;
        MainLoop::shared().post([url, openInApp] {
            MainLoop::shared().postAfter(kOpenDelay, [url, openInApp] { openLaunchURL(url, openInApp); });
        });
    };

    auto current = currentHooks();
    if (current.shouldPrompt && current.shouldPrompt()) {
        if (!current.dialog) {
            VezEduduzLogSink::log(VELogLevel::warn, "No dialog to ask before opening " + url.absoluteString());
            return;
        }
        // The template is what translators see; the URL's parts go in afterwards.
        std::string message = withObjects(localizedString("Would you like to open %@://%@"),
                                          {url.scheme().value_or(""), url.host().value_or("")});
        auto dialog = current.dialog;
        runOnMainThread([=] {
            dialog(localizedString("Open Website?"), message, localizedString("Open"), localizedString("Cancel"),
                   openingStep);
        });
        return;
    }
    openingStep(true);
}

bool VezEduduzHelper::verifyURL(const std::optional<std::string>& text) {
    return text && platform::URL::string(*text).has_value();
}

bool VezEduduzHelper::isWWWScheme(const platform::URL& url) {
    auto scheme = url.scheme();  // already lower-case
    return scheme && (*scheme == "http" || *scheme == "https");
}

std::optional<std::string> VezEduduzHelper::trimURLSpacing(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return std::string(platform::trimmingHTTPWhitespace(*text));
}

std::string VezEduduzHelper::randomStringWithLength(int length) {
    static constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    if (length <= 0) return "";
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string out;
    out.reserve(size_t(length));
    for (int i = 0; i < length; ++i) out += alphabet[pick(generator)];
    return out;
}

std::string VezEduduzHelper::hashUsingSha1(std::string_view text) { return platform::sha1Hex(text); }

std::string VezEduduzHelper::hashUsingMD5(std::string_view text) { return platform::md5Hex(text); }

platform::Value VezEduduzHelper::getNetType() {
    auto reachability = VezEduduzReachability::reachabilityForInternetConnection();
    bool wifi = reachability && reachability->currentReachabilityStatus() == VENetworkStatus::ReachableViaWiFi;
    return platform::Value(wifi ? 0 : 1);
}

bool VezEduduzHelper::isIOSVersionGreaterOrEqual(float version) {
    auto text = platform::uikit::Device::currentDevice().systemVersion();
    return std::strtof(text.c_str(), nullptr) >= version;
}

std::optional<std::string> VezEduduzHelper::getAppName() {
    auto bundle = platform::Bundle::mainBundle();
    const auto* name = bundle ? bundle->objectForInfoDictionaryKey(platform::kCFBundleNameKey) : nullptr;
    if (!name || !name->isString()) return std::nullopt;
    return *name->asString();
}

std::string VezEduduzHelper::localizedString(std::string_view key) {
    auto bundle = platform::Bundle::mainBundle();
    return bundle ? bundle->localizedStringForKey(key) : std::string(key);
}

void VezEduduzHelper::runOnMainThread(const std::function<void()>& block) {
    if (MainLoop::isMainThread()) {
        block();
    } else {
        platform::dispatch::DispatchQueue::main().sync(block);
    }
}

void VezEduduzHelper::dispatch_async_on_main_queue(std::function<void()> block) {
    MainLoop::shared().post(std::move(block));
}

void VezEduduzHelper::performOnMainThreadAfterDelay(const std::string& key, double delay, std::function<void()> block) {
    MainLoop::shared().post([key, delay, block = std::move(block)]() mutable {
        MainLoop::shared().postAfter(delay, std::move(block), key);
    });
}

void VezEduduzHelper::cancelPreviousPerformRequests(const std::string& key) {
    if (key.empty()) return;
    // Timers already scheduled go now; the cancel posted behind any perform still on its way to the
    // loop catches that one when it lands.
    MainLoop::shared().cancel(key);
    MainLoop::shared().post([key] { MainLoop::shared().cancel(key); });
}

}  // namespace vezeduduz
