#pragma once
// VEEmailSubscriptionState: the e-mail player linked to this device. Both the current and the last
// object are read from the four e-mail keys ("EMAIL_ADDRESS", "VD_REQUIRE_EMAIL_AUTH",
// "VD_EMAIL_AUTH_CODE", "VD_EMAIL_PLAYER_ID"); persist() writes them from whichever object it is sent to.
// A change of the e-mail player id (compared by value) is reported to the observable. Main loop.
#include <memory>
#include <optional>
#include <string>

#include "VezEduduzSDK/Source/VEObservable.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

class VEEmailSubscriptionState;

class VEEmailSubscriptionStateObserver {
public:
    virtual ~VEEmailSubscriptionStateObserver() = default;
    virtual void onChanged(const VEEmailSubscriptionState& state) = 0;
};

class VEEmailSubscriptionState {
public:
    // Reads the four keys.
    VEEmailSubscriptionState();
    std::shared_ptr<VEEmailSubscriptionState> copy() const;
    void persist() const;

    const std::optional<std::string>& emailUserId() const { return emailUserId_; }
    const std::optional<std::string>& emailAddress() const { return emailAddress_; }
    const std::optional<std::string>& emailAuthCode() const { return emailAuthCode_; }
    bool requiresEmailAuth() const { return requiresEmailAuth_; }
    bool subscribed() const { return emailUserId_.has_value(); }

    // nullopt unlinks; notifies when the id's text changes (unlinking a set id counts).
    void setEmailUserId(const std::optional<std::string>& id);
    void setEmailAddress(const std::optional<std::string>& address) { emailAddress_ = address; }
    void setEmailAuthCode(const std::optional<std::string>& code) { emailAuthCode_ = code; }
    void setRequiresEmailAuth(bool value) { requiresEmailAuth_ = value; }

    bool compare(const VEEmailSubscriptionState& other) const;
    platform::Value toDictionary() const;
    std::string description() const;

    VEObservable<VEEmailSubscriptionStateObserver, VEEmailSubscriptionState>& observable() { return observable_; }

private:
    struct Blank {};
    explicit VEEmailSubscriptionState(Blank) {}
    std::optional<std::string> emailUserId_;
    std::optional<std::string> emailAddress_;
    std::optional<std::string> emailAuthCode_;
    bool requiresEmailAuth_ = false;
    VEObservable<VEEmailSubscriptionStateObserver, VEEmailSubscriptionState> observable_;
};

}  // namespace vezeduduz
