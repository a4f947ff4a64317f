#pragma once
// The permission back end: what this device may show, whether the user was asked and answered, and the
// prompt itself, with one implementation per family of system versions (chosen once by the facade):
//   VezEduduzNotificationSettingsIOS10  system 10 and later: the notification centre (provisional from 12)
//   VezEduduzNotificationSettingsIOS8   systems 8 and 9: the application's user-notification settings
//   VezEduduzNotificationSettingsIOS7   older systems: remote-notification types
// Every implementation writes its findings into the facade's current permission state.
//
// Threads: called on the main loop. The notification centre answers on its own threads; those answers
// are carried back to the main loop as plain values before any state changes. Blocks are called on the
// main loop.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "VezEduduzSDK/Source/VEPermissionState.h"
#include "platform/dispatch/DispatchQueue.h"

namespace platform::usernotifications {
struct NotificationSettings;
}

namespace vezeduduz {

// Notification-type bits: badge 1, sound 2, alert 4, lock screen 8; 64 marks a provisional grant.
inline constexpr int32_t kVENotificationTypesAll = 15;
inline constexpr int32_t kVENotificationTypesProvisional = 64;

class VezEduduzNotificationSettings {
public:
    using StateBlock = std::function<void(std::shared_ptr<VEPermissionState>)>;
    using AnswerBlock = std::function<void(bool accepted)>;
    virtual ~VezEduduzNotificationSettings() = default;

    virtual int32_t getNotificationTypes() = 0;
    // Synchronous; may wait briefly for the system's answer.
    virtual std::shared_ptr<VEPermissionState> getNotificationPermissionState() = 0;
    virtual void getNotificationPermissionState(StateBlock block) = 0;
    virtual void promptForNotifications(AnswerBlock block) = 0;
    virtual void registerForProvisionalAuthorization(AnswerBlock block) = 0;
    virtual void onNotificationPromptResponse(int32_t notificationTypes) = 0;
    virtual void onAPNsResponse(bool success) = 0;
};

class VezEduduzNotificationSettingsIOS10 : public VezEduduzNotificationSettings,
                                           public std::enable_shared_from_this<VezEduduzNotificationSettingsIOS10> {
public:
    static constexpr const char* kQueueLabel = "com.vezeduduz.notification.settings.ios10";
    // How long the synchronous read waits for the system (real time).
    static constexpr double kSyncWaitSeconds = 0.1;

    VezEduduzNotificationSettingsIOS10();
    int32_t getNotificationTypes() override;
    std::shared_ptr<VEPermissionState> getNotificationPermissionState() override;
    void getNotificationPermissionState(StateBlock block) override;
    void promptForNotifications(AnswerBlock block) override;
    void registerForProvisionalAuthorization(AnswerBlock block) override;
    void onNotificationPromptResponse(int32_t) override {}
    void onAPNsResponse(bool) override {}

    const platform::dispatch::DispatchQueue& getQueue() const { return queue_; }
    // Writes the system's settings into the current permission state (main loop).
    static void applySettings(const platform::usernotifications::NotificationSettings& settings);

private:
    platform::dispatch::DispatchQueue queue_;
    bool useCachedStatus_ = false;
};

class VezEduduzNotificationSettingsIOS8 : public VezEduduzNotificationSettings {
public:
    int32_t getNotificationTypes() override;
    std::shared_ptr<VEPermissionState> getNotificationPermissionState() override;
    void getNotificationPermissionState(StateBlock block) override;
    void promptForNotifications(AnswerBlock block) override;
    void registerForProvisionalAuthorization(AnswerBlock) override {}
    void onNotificationPromptResponse(int32_t notificationTypes) override;
    void onAPNsResponse(bool) override {}

private:
    AnswerBlock notificationPromptReponseCallback;
};

class VezEduduzNotificationSettingsIOS7 : public VezEduduzNotificationSettings {
public:
    int32_t getNotificationTypes() override;
    std::shared_ptr<VEPermissionState> getNotificationPermissionState() override;
    void getNotificationPermissionState(StateBlock block) override;
    void promptForNotifications(AnswerBlock block) override;
    void registerForProvisionalAuthorization(AnswerBlock) override {}
    void onNotificationPromptResponse(int32_t) override {}
    void onAPNsResponse(bool success) override;

private:
    AnswerBlock notificationPromptReponseCallback;
};

}  // namespace vezeduduz
