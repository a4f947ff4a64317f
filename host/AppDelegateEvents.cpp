#include "host/AppDelegateEvents.h"

#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/URL.h"

namespace tesmar_host {

using platform::DeviceEvents;
using platform::URL;
using platform::Value;
namespace uikit = platform::uikit;

std::optional<std::string> runAppDelegateEvent(uikit::Application& app, const Command& command) {
    using Kind = Command::Kind;
    switch (command.kind) {
    case Kind::OpenURL: {
        auto url = URL::string(command.text);
        if (!url) return "'" + command.text + "' is not a URL";
        Value options = Value::dictionary();
        Value line = Value::dictionary({{"url", command.text}});
        if (!command.extra.empty()) {
            options.set(uikit::kOpenURLOptionsSourceApplicationKey, command.extra);
            line.set("source", command.extra);
        }
        line.set("handled", app.openURLInApp(*url, options));
        DeviceEvents::post("app.open-url", line);
        return std::nullopt;
    }
    case Kind::UserActivity: {
        auto activity = std::make_shared<uikit::UserActivity>();
        activity->activityType = command.text;
        Value line = Value::dictionary({{"type", command.text}});
        if (!command.extra.empty()) {
            activity->webpageURL = URL::string(command.extra);
            line.set("url", command.extra);
        }
        line.set("handled", app.continueUserActivity(activity));
        DeviceEvents::post("app.user-activity", line);
        return std::nullopt;
    }
    case Kind::BackgroundSessionEvents: {
        std::string identifier = command.text;
        bool delivered = app.handleEventsForBackgroundURLSession(identifier, [identifier] {
            DeviceEvents::post("background-session.events",
                               Value::dictionary({{"identifier", identifier}, {"completed", true}}));
        });
        if (!delivered)
            DeviceEvents::post("background-session.events",
                               Value::dictionary({{"identifier", identifier}, {"delivered", false}}));
        return std::nullopt;
    }
    default:
        return "not an app-delegate event";
    }
}

}  // namespace tesmar_host
