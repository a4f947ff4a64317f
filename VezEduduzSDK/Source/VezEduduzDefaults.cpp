#include "VezEduduzSDK/Source/VezEduduzDefaults.h"

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "platform/foundation/UserDefaults.h"

namespace vezeduduz::defaults {

std::optional<platform::Value> object(std::string_view key) {
    return platform::UserDefaults::standard()->objectForKey(key);
}

bool exists(std::string_view key) { return object(key).has_value(); }

std::optional<std::string> string(std::string_view key) {
    return platform::UserDefaults::standard()->stringForKey(key);
}

bool boolean(std::string_view key, bool fallback) {
    auto value = object(key);
    if (!value) return fallback;
    return value->asBool().value_or(fallback);
}

std::optional<double> number(std::string_view key) { return platform::UserDefaults::standard()->doubleForKey(key); }

void set(std::string_view key, const platform::Value& value) {
    auto store = platform::UserDefaults::standard();
    auto result = store->setObject(value, key);
    if (!result.ok())
        VezEduduzLogSink::log(VELogLevel::error,
                              "Could not store " + std::string(key) + ": " + result.error().description());
    store->synchronize();
}

void setString(std::string_view key, const std::optional<std::string>& value) {
    set(key, value ? platform::Value(*value) : platform::Value());
}

void remove(std::string_view key) { set(key, platform::Value()); }

}  // namespace vezeduduz::defaults
