#include "VezEduduzSDK/Source/VENotificationPayload.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace vezeduduz {

using platform::Value;
using platform::ValueArray;
using platform::ValueDictionary;

namespace payload_read {

const Value* dictionary(const Value& container, std::string_view key) {
    const Value* v = container.find(key);
    return v && v->isDictionary() ? v : nullptr;
}

const Value* array(const Value& container, std::string_view key) {
    const Value* v = container.find(key);
    return v && v->isArray() ? v : nullptr;
}

std::optional<std::string> string(const Value& container, std::string_view key) {
    const Value* v = container.find(key);
    if (!v || !v->isString()) return std::nullopt;
    return *v->asString();
}

const Value* alertValue(const Value& container, std::string_view key) {
    const Value* v = container.find(key);
    return v && (v->isString() || v->isDictionary()) ? v : nullptr;
}

namespace {

bool isTextSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The leading decimal number of a text after white space, with an optional sign, saturating at the
// 64-bit ends; nullopt when the text does not start with one.
std::optional<int64_t> leadingInteger(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isTextSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    constexpr uint64_t kMax = uint64_t(std::numeric_limits<int64_t>::max());
    uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        // Saturates one past the largest positive value; the sign decides the end below.
        magnitude = magnitude > kMax / 10 ? kMax + 1 : std::min(magnitude * 10 + uint64_t(text[i] - '0'), kMax + 1);
    }
    if (negative) return magnitude > kMax ? std::numeric_limits<int64_t>::min() : -int64_t(magnitude);
    return magnitude > kMax ? std::numeric_limits<int64_t>::max() : int64_t(magnitude);
}

}  // namespace

std::optional<int64_t> integer(const Value& container, std::string_view key) {
    const Value* v = container.find(key);
    if (!v) return std::nullopt;
    if (const std::string* text = v->asString()) return leadingInteger(*text);
    if (v->isBool()) return v->asInteger();
    if (!v->isNumber()) return std::nullopt;
    if (v->isDouble()) {
        // Out-of-range doubles saturate instead of being dropped, so a huge badge stays huge.
        double d = *v->asDouble();
        if (std::isnan(d)) return std::nullopt;
        if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
        if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }
    return v->asInteger();
}

std::optional<uint64_t> badge(const Value& container, std::string_view key) {
    auto n = integer(container, key);
    if (!n) return std::nullopt;
    return clampedBadge(*n);
}

uint64_t clampedBadge(int64_t count) {
    return static_cast<uint64_t>(std::clamp<int64_t>(count, 0, std::numeric_limits<int32_t>::max()));
}

std::vector<VEActionButton> buttons(const ValueArray& source, std::string_view textKey, std::string_view idKey) {
    std::vector<VEActionButton> out;
    for (const Value& element : source) {
        auto text = string(element, textKey);
        if (!text) continue;
        auto id = string(element, idKey);
        out.push_back({id ? *id : *text, *text});
    }
    return out;
}

}  // namespace payload_read

namespace {
// Only string URLs make sense as attachments; anything else would fail later at download time.
std::optional<Value> attachmentsFrom(const Value* source) {
    if (!source || !source->isDictionary()) return std::nullopt;
    ValueDictionary out;
    for (const auto& [key, value] : *source->asDictionary())
        if (value.isString()) out.emplace(key, value);
    return Value(std::move(out));
}
}  // namespace

std::shared_ptr<VENotificationPayload> VENotificationPayload::parseWithApns(const Value& message) {
    if (!message.isDictionary()) return nullptr;
    return std::make_shared<VENotificationPayload>(message);
}

VENotificationPayload::VENotificationPayload(const Value& rawMessage) {
    if (!rawMessage.isDictionary()) return;
    rawPayload_ = rawMessage;
    static const Value kEmpty = Value::dictionary();
    const Value* apsFound = payload_read::dictionary(rawPayload_, "aps");
    const Value& aps = apsFound ? *apsFound : kEmpty;

    if (const Value* veData = payload_read::dictionary(rawPayload_, "ve_data"))
        parseVeDataFormat(aps, *veData);
    else
        parseCustomFormat(aps);

    contentAvailable_ = aps.contains("content-available");
    mutableContent_ = aps.contains("mutable-content");
    threadId_ = payload_read::string(aps, "thread-id");
    category_ = payload_read::string(aps, "category");
}

void VENotificationPayload::readAlert(const Value* alert) {
    if (!alert) return;
    if (alert->isDictionary()) {
        body_ = payload_read::string(*alert, "body");
        title_ = payload_read::string(*alert, "title");
        subtitle_ = payload_read::string(*alert, "subtitle");
    } else if (alert->isString()) {
        body_ = *alert->asString();
    }
}

void VENotificationPayload::readButtons(const Value* source) {
    actionButtons_ =
        source && source->isArray() ? payload_read::buttons(*source->asArray()) : std::vector<VEActionButton>{};
}

void VENotificationPayload::readBadge(const Value& source, std::string_view key) {
    auto given = payload_read::badge(source, key);
    badge_ = given.value_or(0);
    hasBadge_ = given.has_value();
}

void VENotificationPayload::readDisplayDictionary(const Value& display) {
    readAlert(payload_read::alertValue(display, "m"));
    readBadge(display, "b");
    sound_ = payload_read::string(display, "s");
    attachments_ = attachmentsFrom(display.find("at"));
    readButtons(display.find("o"));
}

void VENotificationPayload::readApnsFields(const Value& aps) {
    readAlert(payload_read::alertValue(aps, "alert"));
    readBadge(aps, "badge");
    sound_ = payload_read::string(aps, "sound");
}

void VENotificationPayload::readCommonFields(const Value& format) {
    notificationID_ = payload_read::string(format, "i");
    launchURL_ = payload_read::string(format, "u");
    templateID_ = payload_read::string(format, "ti");
    templateName_ = payload_read::string(format, "tn");
    badgeIncrement_ = payload_read::integer(format, "badge_inc").value_or(0);
}

void VENotificationPayload::parseCustomFormat(const Value& aps) {
    if (rawPayload_.contains("m") && !aps.contains("alert")) {
        readDisplayDictionary(rawPayload_);
    } else {
        readApnsFields(aps);
        attachments_ = attachmentsFrom(rawPayload_.find("att"));
        readButtons(rawPayload_.find("buttons"));
    }

    if (const Value* custom = payload_read::dictionary(rawPayload_, "custom")) {
        readCommonFields(*custom);
        if (const Value* a = payload_read::dictionary(*custom, "a")) additionalData_ = *a;
    }

    if (auto selected = payload_read::string(rawPayload_, "actionSelected")) {
        if (!additionalData_) additionalData_ = Value::dictionary();
        additionalData_->set("actionSelected", Value(*selected));
    }
}

void VENotificationPayload::parseVeDataFormat(const Value& aps, const Value& veData) {
    const Value* buttons = veData.find("buttons");
    // Only a dictionary can be a display dictionary; an array of buttons is read below.
    if (buttons && buttons->isDictionary() && !aps.contains("alert")) {
        readDisplayDictionary(*buttons);
    } else {
        readApnsFields(aps);
        attachments_ = attachmentsFrom(veData.find("att"));
        if (buttons && buttons->isArray())
            actionButtons_ = payload_read::buttons(*buttons->asArray());
        else if (const Value* o = buttons && buttons->isDictionary() ? payload_read::array(*buttons, "o") : nullptr)
            actionButtons_ = payload_read::buttons(*o->asArray());
        else if (const Value* top = payload_read::array(rawPayload_, "actionbuttons"))
            actionButtons_ = payload_read::buttons(*top->asArray());
    }

    readCommonFields(veData);

    ValueDictionary extra = *rawPayload_.asDictionary();
    extra.erase("aps");
    extra.erase("ve_data");
    additionalData_ = Value(std::move(extra));
}

Value VENotificationPayload::actionButtonsValue() const {
    if (!actionButtons_) return Value();
    ValueArray out;
    for (const auto& b : *actionButtons_) out.push_back(Value::dictionary({{"id", b.id}, {"text", b.text}}));
    return Value(std::move(out));
}

Value VENotificationPayload::jsonValue() const {
    Value out = Value::dictionary();
    auto putString = [&](const char* key, const std::optional<std::string>& v) {
        if (v) out.set(key, Value(*v));
    };
    putString("notificationID", notificationID_);
    putString("sound", sound_);
    putString("title", title_);
    putString("body", body_);
    putString("subtitle", subtitle_);
    if (additionalData_) out.set("additionalData", *additionalData_);
    if (actionButtons_) out.set("actionButtons", actionButtonsValue());
    if (!rawPayload_.isNull()) out.set("rawPayload", rawPayload_);
    putString("launchURL", launchURL_);
    if (contentAvailable_) out.set("contentAvailable", Value(true));
    if (badge_ != 0) out.set("badge", Value(static_cast<unsigned long long>(badge_)));
    return out;
}

}  // namespace vezeduduz
