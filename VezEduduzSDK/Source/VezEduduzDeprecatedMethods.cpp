// Start-up's warning about application-delegate methods the push client no longer calls.
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzAppDelegate.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/objc/Runtime.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

void VezEduduz::checkIfApplicationImplementsDeprecatedMethods() {
    // Later on the main loop: the delegate may still be setting itself up while start-up runs.
    platform::dispatch::MainLoop::shared().post([] {
        auto app = platform::uikit::Application::shared();
        auto delegate = app ? app->delegate() : nullptr;
        if (!delegate) return;
        for (const char* selector : {"application:didReceiveLocalNotification:",
                                     "application:handleActionWithIdentifier:forLocalNotification:completionHandler:",
                                     "application:handleActionWithIdentifier:forLocalNotification:withResponseInfo:"
                                     "completionHandler:"}) {
            if (VezEduduzAppDelegate::applicationImplements(delegate.get(), platform::objc::sel(selector)))
                vezeduduz_Log(VELogLevel::warn,
                              std::string("VezEduduz has detected that your application delegate implements a "
                                          "deprecated method (") +
                                  selector +
                                  "). Please note that this method has been officially deprecated and the VezEduduz "
                                  "SDK will no longer call it. You should use UNUserNotificationCenter instead");
        }
    });
}

}  // namespace vezeduduz
