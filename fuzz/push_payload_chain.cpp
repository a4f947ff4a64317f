// A push message through the whole chain: payload parse -> notification JSON form -> opened result ->
// standard form -> silent test -> dispatch. Input: one byte of switches, then either JSON text (bit 0
// clear) or raw bytes placed as strings under every key the parser reads (bit 0 set), so invalid UTF-8
// reaches the JSON writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "VezEduduzSDK/Source/VENotification.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "platform/foundation/JSON.h"

using platform::Value;
using namespace vezeduduz;

namespace {

Value rawBytesMessage(const std::string& bytes) {
    Value s(bytes);
    Value button = Value::dictionary({{"n", s}, {"i", s}});
    Value format = Value::dictionary(
        {{"i", s}, {"u", s}, {"a", Value::dictionary({{"k", s}})}, {"buttons", Value::array({button})}});
    return Value::dictionary({{"aps", Value::dictionary({{"alert", s}, {"sound", s}, {"thread-id", s}})},
                              {"custom", format},
                              {"ve_data", format},
                              {"m", s},
                              {"o", Value::array({button})},
                              {"actionSelected", s},
                              {"att", Value::dictionary({{"x", s}})}});
}

void check(bool ok) {
    if (!ok) std::abort();
}

void runChain(const Value& message, uint8_t switches) {
    auto payload = VENotificationPayload::parseWithApns(message);
    check((payload != nullptr) == message.isDictionary());
    if (!payload) payload = std::make_shared<VENotificationPayload>(message);
    check(payload->badge() <= uint64_t(std::numeric_limits<int32_t>::max()));
    if (payload->additionalData()) check(payload->additionalData()->isDictionary());

    VENotificationEnvironment env{(switches & 2) != 0, static_cast<VEInFocusDisplayType>((switches >> 2) % 3)};
    auto notification = std::make_shared<const VENotification>(payload, VEInFocusDisplayType::inAppAlert, env);
    if (notification->isSilentNotification()) check(!notification->wasShown());
    if (auto text = notification->stringify()) check(platform::json::read(*text).ok());

    auto action = std::make_shared<const VENotificationAction>((switches & 32) ? VENotificationActionType::ActionTaken
                                                                               : VENotificationActionType::Opened,
                                                               payload->notificationID());
    VENotificationOpenedResult opened(notification, action);
    if (auto text = opened.stringify()) check(platform::json::read(*text).ok());

    std::optional<std::string> identifier;
    if (switches & 64) identifier = payload->body().value_or(kVEDefaultActionIdentifier);
    auto standard = VezEduduzNotificationHelper::formatApsPayloadIntoStandard(message, identifier);
    check(standard.has_value() == (payload_read::dictionary(message, "ve_data") != nullptr ||
                                   payload_read::dictionary(message, "custom") != nullptr));
    if (standard) {
        (void)VezEduduzNotificationHelper::isRemoteSilentNotification(*standard);
        VENotificationPayload again(*standard);
        (void)again.jsonValue();
        VezEduduzNotificationHelper::lastMessageReceived(*standard);
        VezEduduzNotificationHelper::handleNotificationReceived(VEInFocusDisplayType::notification);
        VezEduduzNotificationHelper::handleNotificationAction(VENotificationActionType::Opened, identifier,
                                                              VEInFocusDisplayType::notification);
    }
    (void)VezEduduzNotificationHelper::isRemoteSilentNotification(message);
    (void)VezEduduzNotificationHelper::isVezEduduzPayload(message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const bool setUp = [] {
        VezEduduzNotificationHelper::setEnvironmentProvider([] { return VENotificationEnvironment{}; });
        VezEduduzNotificationHelper::notificationBlocks(
            [](std::shared_ptr<VENotification> n) { (void)n->stringify(); },
            [](std::shared_ptr<VENotificationOpenedResult> r) { (void)r->stringify(); });
        return true;
    }();
    (void)setUp;
    uint8_t switches = data[0];
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (switches & 1) {
        runChain(rawBytesMessage(rest), switches);
        return 0;
    }
    auto parsed = platform::json::read(rest, {.allowFragments = true, .maxDepth = 64});
    if (parsed.ok()) runChain(*parsed, switches);
    return 0;
}
