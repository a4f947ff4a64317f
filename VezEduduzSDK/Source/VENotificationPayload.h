#pragma once
// VENotificationPayload: a push message (the remote notification's user info) read into a flat,
// read-only record. Both message formats of the push service are read here and nowhere else:
//   "custom"  - the service's data under "custom", texts in "aps" or, for a message the push client
//               shows itself, in the top-level "m", "b", "s", "at", "o";
//   "ve_data" - the service's data under "ve_data"; every other top-level key is additional data.
//
// Every lookup is type-checked: a value of the wrong type counts as missing, so no message, however
// malformed, makes parsing fail. Numbers are read as the platform reads a value's integer: a number,
// a bool (0 or 1) or the leading decimal number of a text ("5" is 5). The badge is clamped to
// [0, INT32_MAX]. Whether a message has an alert or a display message is whether the key is there.
//
// Threads: immutable after construction; share it freely between threads.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace vezeduduz {

struct VEActionButton {
    std::string id;
    std::string text;
    bool operator==(const VEActionButton&) const = default;
};

class VENotificationPayload {
public:
    // A new payload, or null when the message is not a dictionary (null included).
    static std::shared_ptr<VENotificationPayload> parseWithApns(const platform::Value& message);
    // Reads any value; a non-dictionary leaves every field empty.
    explicit VENotificationPayload(const platform::Value& rawMessage);

    const std::optional<std::string>& notificationID() const { return notificationID_; }
    const std::optional<std::string>& templateID() const { return templateID_; }
    const std::optional<std::string>& templateName() const { return templateName_; }
    bool contentAvailable() const { return contentAvailable_; }
    // Whether "aps" holds "mutable-content" at all (VENotification tests the value).
    bool mutableContent() const { return mutableContent_; }
    const std::optional<std::string>& category() const { return category_; }
    uint64_t badge() const { return badge_; }
    // Whether the badge came from a readable value in the message (0 included), not from its absence.
    bool hasBadge() const { return hasBadge_; }
    int64_t badgeIncrement() const { return badgeIncrement_; }
    const std::optional<std::string>& sound() const { return sound_; }
    const std::optional<std::string>& title() const { return title_; }
    const std::optional<std::string>& subtitle() const { return subtitle_; }
    const std::optional<std::string>& body() const { return body_; }
    const std::optional<std::string>& launchURL() const { return launchURL_; }
    // A dictionary when present. The application reads its own keys (e.g. "targetUrl") from here.
    const std::optional<platform::Value>& additionalData() const { return additionalData_; }
    // Attachment identifier -> URL string; entries whose URL is not a string are left out.
    const std::optional<platform::Value>& attachments() const { return attachments_; }
    // In payload order. Absent only for a "ve_data" message with no button source at all.
    const std::optional<std::vector<VEActionButton>>& actionButtons() const { return actionButtons_; }
    // The buttons as [{"id": ..., "text": ...}], or null when absent.
    platform::Value actionButtonsValue() const;
    // The whole message as received (a dictionary, or null when the message was not one).
    const platform::Value& rawPayload() const { return rawPayload_; }
    const std::optional<std::string>& threadId() const { return threadId_; }

    // Keys of the payload's JSON form (used by VENotification's JSON form): see VENotification.h.
    platform::Value jsonValue() const;

private:
    void readAlert(const platform::Value* alert);
    void readBadge(const platform::Value& source, std::string_view key);
    void readButtons(const platform::Value* source);
    void readDisplayDictionary(const platform::Value& display);
    void readApnsFields(const platform::Value& aps);
    void readCommonFields(const platform::Value& format);
    void parseCustomFormat(const platform::Value& aps);
    void parseVeDataFormat(const platform::Value& aps, const platform::Value& veData);

    std::optional<std::string> notificationID_, templateID_, templateName_, category_, sound_, title_, subtitle_, body_,
        launchURL_, threadId_;
    bool contentAvailable_ = false;
    bool mutableContent_ = false;
    bool hasBadge_ = false;
    uint64_t badge_ = 0;
    int64_t badgeIncrement_ = 0;
    std::optional<platform::Value> additionalData_, attachments_;
    std::optional<std::vector<VEActionButton>> actionButtons_;
    platform::Value rawPayload_;
};

// ---- checked reads shared by the payload, the notification objects and the dispatch ----
namespace payload_read {
// The dictionary under key, or nullptr when absent or not a dictionary.
const platform::Value* dictionary(const platform::Value& container, std::string_view key);
// The array under key, or nullptr when absent or not an array.
const platform::Value* array(const platform::Value& container, std::string_view key);
std::optional<std::string> string(const platform::Value& container, std::string_view key);
// An alert-like value ("aps"."alert", "m"): a string or a dictionary; anything else is missing.
const platform::Value* alertValue(const platform::Value& container, std::string_view key);
// A number (doubles truncated, saturating), a bool as 0 or 1, or a text's leading number; nullopt for
// anything else.
std::optional<int64_t> integer(const platform::Value& container, std::string_view key);
// Badge rule: integer() clamped to [0, INT32_MAX]; nullopt when there is none.
std::optional<uint64_t> badge(const platform::Value& container, std::string_view key);
// A badge count clamped by the same rule.
uint64_t clampedBadge(int64_t count);
// Button dictionaries {"n": text, "i": id} -> buttons; elements without a string "n" are dropped and a
// missing or non-string "i" takes the text. A list already in the read form ({"text", "id"}, as a
// notification the push client showed itself keeps it) is read by naming those keys.
std::vector<VEActionButton> buttons(const platform::ValueArray& source, std::string_view textKey = "n",
                                    std::string_view idKey = "i");
}  // namespace payload_read

}  // namespace vezeduduz
