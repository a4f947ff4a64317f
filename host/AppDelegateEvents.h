#pragma once
// What the system hands the application's delegate outside the screens: URLs opened in the app, user
// activities continued, and relaunches for background URL-session events. Each prints what came of it:
//   app.open-url               {"url", "source" (when given), "handled"}
//   app.user-activity          {"type", "url" (when given), "handled"}
//   background-session.events  {"identifier", "completed": true} when the system's completion runs
//                              (the platform checks it runs exactly once), or {"identifier",
//                              "delivered": false} when the delegate does not take such events.
// Main thread, like every device command.
#include <optional>
#include <string>

#include "host/Commands.h"
#include "platform/uikit/Application.h"

namespace tesmar_host {

// Runs an OpenURL, UserActivity or BackgroundSessionEvents command; answers an error message or nullopt.
std::optional<std::string> runAppDelegateEvent(platform::uikit::Application& app, const Command& command);

}  // namespace tesmar_host
