#pragma once
// The facade's handling of received and opened notifications (the VezEduduz class methods declared in
// VezEduduz.h under "received and opened notifications") keeps two last-message ids for the process.
//
// Threads: the entry points belong to the main loop; the ids are guarded anyway, because the in-app
// alert and the hooks may be driven from a test or host thread.
#include <optional>
#include <string>

namespace vezeduduz {

inline constexpr const char* kLastMessageOpenedKey = "VD_LAST_MESSAGE_OPENED_";
inline constexpr const char* kDisableBadgeClearingKey = "VezEduduz_disable_badge_clearing";
// Key of the pending launch-URL display on the main loop.
inline constexpr const char* kLaunchURLDelayKey = "VezEduduz.launchWebURL";
inline constexpr double kLaunchURLDelay = 0.5;

struct VENotificationHandlingIds {
    std::optional<std::string> lastAppActiveMessageId;
    std::optional<std::string> lastnonActiveMessageId;
};

}  // namespace vezeduduz
