#include "host/EventPrinter.h"

#include <cmath>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/URL.h"

namespace tesmar_host {

using platform::Value;

namespace {

bool isUTF8(const std::string& text) { return platform::json::isValidJSONObject(Value::array({Value(text)})); }

// Text that is not UTF-8 keeps its ASCII and shows other bytes as \xNN.
std::string printableText(const std::string& text) {
    if (isUTF8(text)) return text;
    std::string out;
    static const char* hex = "0123456789abcdef";
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// A copy of `value` that the JSON writer accepts.
Value printable(const Value& value) {
    switch (value.type()) {
    case Value::Type::Double:
        return std::isfinite(*value.asDouble()) ? value : Value(value.description());
    case Value::Type::Data:
    case Value::Type::Date:
    case Value::Type::Object:
        return Value(printableText(value.description()));
    case Value::Type::String:
        // Text that is not UTF-8 would make the writer refuse the whole line; a password does not belong in a log.
        return Value(printableText(platform::withoutURLPasswords(*value.asString())));
    case Value::Type::Array: {
        platform::ValueArray out;
        for (const auto& item : *value.asArray()) out.push_back(printable(item));
        return Value(std::move(out));
    }
    case Value::Type::Dictionary: {
        platform::ValueDictionary out;
        for (const auto& [key, item] : *value.asDictionary()) out.emplace(printableText(key), printable(item));
        return Value(std::move(out));
    }
    default:
        return value;
    }
}

int64_t steadyNow() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

}  // namespace

std::string eventLine(const std::string& event, const Value& fields) {
    Value line = fields.isDictionary() ? printable(fields) : Value::dictionary({{"value", printable(fields)}});
    line.set("event", printableText(event));
    auto text = platform::json::write(line);
    if (text) return text.value();
    // Keys that are not UTF-8: keep the line, lose the fields.
    return platform::json::write(Value::dictionary({{"event", printableText(event)}})).valueOr("{}");
}

void printEvent(std::FILE* out, const std::string& event, const Value& fields) {
    std::fprintf(out, "%s\n", eventLine(event, fields).c_str());
    std::fflush(out);
}

EventPrinter::EventPrinter(std::FILE* out) : out_(out), lastEvent_(steadyNow()) {
    token_ = platform::DeviceEvents::addListener(
        [this](const std::string& event, const Value& fields) { print(event, fields); });
}

void EventPrinter::stop() { token_ = platform::DeviceEvents::Token(); }

std::chrono::steady_clock::time_point EventPrinter::lastEventTime() const {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastEvent_.load()));
}

void EventPrinter::print(const std::string& event, const Value& fields) {
    if (event == "fault") ++faults_;
    std::string line = eventLine(event, fields);
    {
        platform::dispatch::MutexLock lock(mutex_);
        std::fputs(line.c_str(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    lastEvent_.store(steadyNow());
}

}  // namespace tesmar_host
