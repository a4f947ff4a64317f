#include "VezEduduzSDK/Source/VEEmailSubscriptionState.h"

#include "VezEduduzSDK/Source/VezEduduzDefaults.h"

namespace vezeduduz {

namespace {
constexpr const char* kAddress = "EMAIL_ADDRESS";
constexpr const char* kRequireAuth = "VD_REQUIRE_EMAIL_AUTH";
constexpr const char* kAuthCode = "VD_EMAIL_AUTH_CODE";
constexpr const char* kEmailPlayerId = "VD_EMAIL_PLAYER_ID";

platform::Value valueOf(const std::optional<std::string>& s) { return s ? platform::Value(*s) : platform::Value(); }
}  // namespace

VEEmailSubscriptionState::VEEmailSubscriptionState()
    : emailUserId_(defaults::string(kEmailPlayerId)), emailAddress_(defaults::string(kAddress)),
      emailAuthCode_(defaults::string(kAuthCode)), requiresEmailAuth_(defaults::boolean(kRequireAuth)) {}

std::shared_ptr<VEEmailSubscriptionState> VEEmailSubscriptionState::copy() const {
    auto out = std::shared_ptr<VEEmailSubscriptionState>(new VEEmailSubscriptionState(Blank{}));
    out->emailUserId_ = emailUserId_;
    out->emailAddress_ = emailAddress_;
    out->emailAuthCode_ = emailAuthCode_;
    out->requiresEmailAuth_ = requiresEmailAuth_;
    return out;
}

void VEEmailSubscriptionState::persist() const {
    defaults::setString(kAddress, emailAddress_);
    defaults::set(kRequireAuth, requiresEmailAuth_);
    defaults::setString(kAuthCode, emailAuthCode_);
    defaults::setString(kEmailPlayerId, emailUserId_);
}

void VEEmailSubscriptionState::setEmailUserId(const std::optional<std::string>& id) {
    // By value: an answer that repeats the known id is not a change.
    bool changed = emailUserId_ != id;
    emailUserId_ = id;
    if (changed) observable_.notifyChange(*this);
}

bool VEEmailSubscriptionState::compare(const VEEmailSubscriptionState& other) const {
    return emailAddress_.value_or("") != other.emailAddress_.value_or("") ||
           emailUserId_.value_or("") != other.emailUserId_.value_or("");
}

platform::Value VEEmailSubscriptionState::toDictionary() const {
    return platform::Value::dictionary(
        {{"emailUserId", valueOf(emailUserId_)}, {"emailAddress", valueOf(emailAddress_)}});
}

std::string VEEmailSubscriptionState::description() const {
    return "<VEEmailSubscriptionState: emailAddress: " + emailAddress_.value_or("(null)") +
           ", emailUserId: " + emailUserId_.value_or("(null)") + ">";
}

}  // namespace vezeduduz
