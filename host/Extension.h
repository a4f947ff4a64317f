#pragma once
// The notification service extension as the device runs it: a second tesmar-sim process
// ("tesmar-sim extension ...") on the same device root, which hands a push with "mutable-content" to the
// extension's principal class and prints what it made of it.
//
// The app side (Device): a push with "aps"."mutable-content" 1, to an app whose bundle holds
// PlugIns/<name>.appex with an Info.plist NSExtension dictionary (NSExtensionPointIdentifier
// "com.apple.usernotifications.service", NSExtensionPrincipalClass), starts that process, relays each
// event line it prints with "process":"extension", and delivers the notification with the content the
// extension answered, even when the process had to be stopped after answering (as it came, when the
// extension gave no answer).
//
// The extension side: the principal class is made by name and sent
//   didReceiveNotificationRequest:withContentHandler:
//       void(std::shared_ptr<NotificationRequest>, std::function<void(NotificationContent)>)
//   serviceExtensionTimeWillExpire                      void()
// When the budget (--extension-budget) runs out before the content handler was called, the second is
// sent, and its answer counts (with "expired": true); an answer the first call gives after that is too
// late. The media downloads of a notification share the budget and end with it. The process prints the
// answer as soon as it has one, at the budget's end at the latest,
//   extension.content {title, subtitle, body, badge, category, actions, attachments, expired}
// then waits for the first call to end (every blocking step in it is bounded) so no half-written file
// stays, and exits 0 (1 when the extension could not run at all).
//
// The built-in principal class "NotificationService" calls the push client's two extension entry points,
// as an app's extension would.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/Options.h"
#include "platform/foundation/Value.h"
#include "platform/usernotifications/NotificationTypes.h"

namespace tesmar_host {

inline constexpr const char* kServiceExtensionPoint = "com.apple.usernotifications.service";

struct ServiceExtension {
    std::filesystem::path appex;  // the extension's bundle inside the device
    std::string principalClass;
};

// The bundle's service extension, if it has one.
std::optional<ServiceExtension> findServiceExtension(const std::filesystem::path& appBundle);
// Each extension bundle under PlugIns/ that findServiceExtension passes over for an Info.plist that is
// missing, unreadable, not a dictionary, or names no principal class: one message each, naming the file.
std::vector<std::string> serviceExtensionProblems(const std::filesystem::path& appBundle);

// The program that runs extensions (default: this process's own executable).
void setExtensionExecutable(std::string path);

// App side: runs the extension for `payload`; the content it answered, or nullopt when it failed.
std::optional<platform::usernotifications::NotificationContent>
runServiceExtension(const Options& appOptions, const std::filesystem::path& deviceRoot,
                    const ServiceExtension& extension, const platform::Value& payload);

// Extension side: "tesmar-sim extension --device-root DIR --bundle APPEX --payload JSON ...".
int runExtensionProcess(const Options& options, std::FILE* out, std::FILE* err);

// Makes every event the analytics facade ("DOREdozadedo") is asked to log an "analytics.event" line too.
// Idempotent; after the facade's classes are registered.
void tapAnalyticsEvents();

// The extension's content as an event's fields, and back (attachment files relative to the device root).
platform::Value contentFields(const platform::usernotifications::NotificationContent& content,
                              const std::filesystem::path& deviceRoot);
platform::usernotifications::NotificationContent contentFromFields(const platform::Value& fields,
                                                                   const std::filesystem::path& deviceRoot);

}  // namespace tesmar_host
