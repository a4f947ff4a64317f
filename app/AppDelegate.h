#pragma once
// AppDelegate: the application's delegate (runtime class "AppDelegate", made by the platform by
// name). Its construction reads the configuration resource; its launch starts the kit platform with
// the crash reporter, the app core's default app and the push client, in that order. Universal links
// and tapped notifications naming a page become new root screens. Main thread only.
#include <memory>
#include <optional>

#include "VezEduduzSDK/Source/VezEduduzSDK.h"
#include "app/ASConfig.h"
#include "platform/foundation/URL.h"
#include "platform/uikit/UIKit.h"

namespace Tesmar {

namespace uikit = platform::uikit;

class AppDelegate : public uikit::Responder {
public:
    explicit AppDelegate(platform::objc::Class* cls);

    static platform::objc::Class* runtimeClass();

    std::shared_ptr<uikit::Window> window;
    std::shared_ptr<ASConfigService> configService;
    std::optional<platform::URL> universalLinkURL;

    bool didFinishLaunchingWithOptions(const platform::Value& launchOptions);
    void setupVezEduduz(const platform::Value& launchOptions);
    static void handleNotificationReceived(const std::shared_ptr<vezeduduz::VENotification>& notification);
    void handleNotificationAction(const std::shared_ptr<vezeduduz::VENotificationOpenedResult>& result);
    static void handlePromptResponse(bool accepted);
    bool continueUserActivity(const std::shared_ptr<uikit::UserActivity>& activity);
    void showRootViewController();
    void openURL(const std::optional<platform::URL>& url);
};

}  // namespace Tesmar
