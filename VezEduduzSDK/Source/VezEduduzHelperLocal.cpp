// Local notifications the push client builds itself, and their media attachments.
#include <unistd.h>

#include <atomic>
#include <future>

#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VEStringExtensions.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzDialogController.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/uikit/Application.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace vezeduduz {

using platform::Value;
using platform::uikit::Application;
using platform::uikit::BackgroundFetchResult;
namespace un = platform::usernotifications;

namespace {

constexpr double kTriggerDelay = 0.25;
constexpr int kRequestIdentifierLength = 16;
constexpr int kMediaFileNameLength = 10;
constexpr auto kCategoryQueryWait = std::chrono::seconds(5);

platform::dispatch::Mutex limitsMutex;
VEDirectDownloadLimits& limitsSlot() REQUIRES(limitsMutex) {
    static VEDirectDownloadLimits limits;
    return limits;
}

const platform::dispatch::DispatchQueue& buildQueue() {
    static const platform::dispatch::DispatchQueue* q =
        new platform::dispatch::DispatchQueue("com.vezeduduz.localnotification");
    return *q;
}

std::optional<std::string> cachesDirectory() {
    auto dir = platform::FileManager::defaultManager().directory(platform::SearchPathDirectory::Caches);
    return dir ? std::optional<std::string>(*dir) : std::nullopt;
}

void logError(const std::string& message) { VezEduduz::vezeduduz_Log(VELogLevel::error, message); }

// One background task per build: overlapping builds each end their own, at the end or at expiry.
class BackgroundMediaTask {
public:
    BackgroundMediaTask() : id_(std::make_shared<std::atomic<uint64_t>>(platform::uikit::kBackgroundTaskInvalid)) {
        auto app = Application::shared();
        if (!app) return;
        std::weak_ptr<Application> weakApp = app;
        auto id = id_;
        *id_ = app->beginBackgroundTask([weakApp, id] { end(weakApp.lock(), id); });
        app_ = app;
    }
    ~BackgroundMediaTask() { end(app_.lock(), id_); }

private:
    static void end(const std::shared_ptr<Application>& app, const std::shared_ptr<std::atomic<uint64_t>>& id) {
        uint64_t taken = id->exchange(platform::uikit::kBackgroundTaskInvalid);
        if (app && taken != platform::uikit::kBackgroundTaskInvalid) app->endBackgroundTask(taken);
    }
    std::shared_ptr<std::atomic<uint64_t>> id_;
    std::weak_ptr<Application> app_;
};

void appendCachedMedia(const std::string& fileName) {
    platform::retriedByStore(
        platform::UserDefaults::standard()->updateObjectForKey(kCachedMediaKey, [&](const std::optional<Value>& v) {
            platform::ValueArray list;
            if (v && v->isArray()) list = *v->asArray();
            list.push_back(Value(fileName));
            return Value(std::move(list));
        }));
}

}  // namespace

void VezEduduzHelper::setMediaDownloadLimits(VEDirectDownloadLimits limits) {
    platform::dispatch::MutexLock lock(limitsMutex);
    limitsSlot() = limits;
}

VEDirectDownloadLimits VezEduduzHelper::mediaDownloadLimits() {
    platform::dispatch::MutexLock lock(limitsMutex);
    return limitsSlot();
}

un::NotificationRequest VezEduduzHelper::prepareUNNotificationRequest(const VENotificationPayload& payload) {
    un::NotificationContent content;
    addActionButtons(payload, content);
    content.title = payload.title().value_or("");
    content.subtitle = payload.subtitle().value_or("");
    content.body = payload.body().value_or("");
    content.userInfo = payload.rawPayload().isDictionary() ? payload.rawPayload() : Value::dictionary();
    content.sound = payload.sound().value_or("default");
    if (payload.badge() != 0) content.badge = int64_t(payload.badge());
    addAttachments(payload, content);
    un::NotificationRequest request;
    request.identifier = randomStringWithLength(kRequestIdentifierLength);
    request.content = std::move(content);
    request.trigger = un::NotificationTrigger::after(kTriggerDelay, false);
    return request;
}

void VezEduduzHelper::addActionButtons(const VENotificationPayload& payload, un::NotificationContent& content) {
    const auto& buttons = payload.actionButtons();
    if (!buttons || buttons->empty()) return;
    auto center = un::UserNotificationCenter::current();
    if (!center) return;
    std::vector<un::NotificationAction> actions;
    for (const auto& b : *buttons) actions.push_back({b.id, b.text, un::NotificationActionForeground});
    if (actions.size() == 2) std::swap(actions[0], actions[1]);
    un::NotificationCategory category{
        kDynamicCategoryIdentifier, std::move(actions), {}, un::NotificationCategoryCustomDismissAction};
    // The earlier "__dynamic__" goes first, so the set never holds two of it.
    std::vector<un::NotificationCategory> categories;
    for (auto& existing : existingCategories())
        if (existing.identifier != kDynamicCategoryIdentifier) categories.push_back(std::move(existing));
    categories.push_back(std::move(category));
    center->setNotificationCategories(std::move(categories));
    content.categoryIdentifier = kDynamicCategoryIdentifier;
}

std::vector<un::NotificationCategory> VezEduduzHelper::existingCategories() {
    auto center = un::UserNotificationCenter::current();
    if (!center) return {};
    auto answer = std::make_shared<std::promise<std::vector<un::NotificationCategory>>>();
    auto future = answer->get_future();
    center->getNotificationCategoriesWithCompletionHandler(
        [answer](std::vector<un::NotificationCategory> categories) { answer->set_value(std::move(categories)); });
    if (future.wait_for(kCategoryQueryWait) != std::future_status::ready) return {};
    return future.get();
}

void VezEduduzHelper::addAttachments(const VENotificationPayload& payload, un::NotificationContent& content) {
    const auto& attachments = payload.attachments();
    if (!attachments || !attachments->isDictionary()) return;
    std::vector<un::NotificationAttachment> collected;
    // One deadline for all of the notification's media: one after another, each with the whole time,
    // several slow hosts would hold the notification (and the extension's budget) many times over.
    const auto deadline = mediaDownloadLimits().endFromNow();
    for (const auto& [identifier, value] : *attachments->asDictionary()) {
        auto text = trimURLSpacing(value.asString() ? std::optional<std::string>(*value.asString()) : std::nullopt);
        if (!text) continue;
        auto url = platform::URL::string(*text);
        std::optional<platform::URL> fileURL;
        bool downloaded = false;
        if (url && isWWWScheme(*url)) {
            auto name = downloadMediaAndSaveInBundle(*text, deadline);
            auto caches = cachesDirectory();
            if (!name || !caches) continue;
            fileURL = platform::URL::fileURL(*caches + "/" + *name);
            downloaded = true;
        } else {
            auto dot = text->rfind('.');
            if (dot == std::string::npos || dot == 0 || dot + 1 == text->size()) continue;
            auto bundle = platform::Bundle::mainBundle();
            auto path = bundle ? bundle->pathForResource(text->substr(0, dot), text->substr(dot + 1)) : std::nullopt;
            if (!path) continue;
            fileURL = platform::URL::fileURL(*path);
        }
        auto attachment = un::NotificationAttachment::make(identifier, *fileURL);
        if (!attachment) {
            // A download the system will not show is of no use to anyone: do not leave it in Caches.
            if (downloaded) ::unlink(fileURL->path().c_str());
            continue;
        }
        collected.push_back(std::move(*attachment));
    }
    content.attachments = std::move(collected);
}

std::optional<std::string>
VezEduduzHelper::downloadMediaAndSaveInBundle(const std::string& urlString,
                                              std::optional<std::chrono::steady_clock::time_point> deadline) {
    try {
        auto url = platform::URL::string(urlString);
        auto caches = cachesDirectory();
        if (!url || !caches) return std::nullopt;
        std::string extension = url->pathExtension();
        VEDirectDownloadLimits limits = mediaDownloadLimits();
        if (deadline) limits.deadline = std::min(*deadline, limits.endFromNow());
        if (!extension.empty()) {
            if (!supportedFileExtension("file." + extension)) return std::nullopt;
            if (auto cap = un::NotificationAttachment::maxBytesForExtension(extension))
                limits.maxBytes = std::min(limits.maxBytes, *cap);
        } else {
            limits.maxBytes = std::min(limits.maxBytes, un::NotificationAttachment::kMaxVideoBytes);
        }
        std::string name = randomStringWithLength(kMediaFileNameLength);
        if (!extension.empty()) name += "." + extension;
        std::string path = *caches + "/" + name;
        auto mimeType = downloadItemAtURL(*url, path, limits);
        if (!mimeType) {
            VezEduduz::vezeduduz_Log(VELogLevel::debug, mimeType.error().description());
            logError("Encountered an error while attempting to download file with URL: " + urlString);
            return std::nullopt;
        }
        if (extension.empty()) {
            std::optional<std::string> derived;
            if (!mimeType->empty()) derived = fileExtensionForMimeType(*mimeType);
            if (!derived)
                if (auto fileName = valueFromQueryParameter(*url, "filename"))
                    derived = supportedFileExtension(*fileName);
            if (!derived) {
                ::unlink(path.c_str());  // nothing can show it
                return std::nullopt;
            }
            std::string renamed = name + "." + *derived;
            if (::rename(path.c_str(), (*caches + "/" + renamed).c_str()) != 0) {
                ::unlink(path.c_str());
                logError("Encountered an error while attempting to download file with URL: " + urlString);
                return std::nullopt;
            }
            name = renamed;
        }
        appendCachedMedia(name);
        return name;
    } catch (const std::exception& e) {
        logError("VezEduduz encountered an exception while downloading file (" + urlString +
                 "), exception: " + e.what());
        return std::nullopt;
    }
}

std::shared_ptr<platform::uikit::LocalNotification>
VezEduduzHelper::createUILocalNotification(const VENotificationPayload& payload) {
    namespace ui = platform::uikit;
    auto notification = std::make_shared<ui::LocalNotification>();
    ui::UserNotificationCategory category{kDynamicCategoryIdentifier, {}, {}};
    if (const auto& buttons = payload.actionButtons())
        for (const auto& b : *buttons)
            category.defaultActions.push_back(
                {b.id, b.text, ui::UserNotificationActivationMode::Foreground, false, false});
    if (category.defaultActions.size() >= 2)
        category.minimalActions = {category.defaultActions[1], category.defaultActions[0]};
    if (auto app = Application::shared()) {
        // The earlier "__dynamic__" goes first, so the settings never hold two of it.
        auto settings = app->currentUserNotificationSettings();
        std::erase_if(settings.categories,
                      [](const ui::UserNotificationCategory& c) { return c.identifier == kDynamicCategoryIdentifier; });
        settings.categories.push_back(std::move(category));
        settings.types = ui::UserNotificationTypeBadge | ui::UserNotificationTypeSound | ui::UserNotificationTypeAlert;
        app->registerUserNotificationSettings(std::move(settings));
    }
    notification->category = kDynamicCategoryIdentifier;
    return notification;
}

std::shared_ptr<platform::uikit::LocalNotification>
VezEduduzHelper::prepareUILocalNotification(const VENotificationPayload& payload) {
    auto notification = createUILocalNotification(payload);
    notification->alertTitle = payload.title();
    notification->alertBody = payload.body().value_or("");
    notification->userInfo = payload.rawPayload().isDictionary() ? payload.rawPayload() : Value::dictionary();
    notification->soundName = payload.sound().value_or(platform::uikit::kLocalNotificationDefaultSoundName);
    notification->applicationIconBadgeNumber = int64_t(payload.badge());
    return notification;
}

void VezEduduzHelper::addNotificationRequest(std::shared_ptr<VENotificationPayload> payload,
                                             std::function<void(BackgroundFetchResult)> completion) {
    buildQueue().async([payload = std::move(payload), completion = std::move(completion)] {
        BackgroundMediaTask task;
        auto center = un::UserNotificationCenter::current();
        if (payload && center) center->addNotificationRequest(prepareUNNotificationRequest(*payload));
        if (completion) completion(BackgroundFetchResult::NewData);
    });
}

}  // namespace vezeduduz
