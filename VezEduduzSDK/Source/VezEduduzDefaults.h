#pragma once
// The push client's reads and writes of the standard user defaults. Every write is synchronised at once,
// so the stored state survives the process ending at any moment once the disk has taken it. A failed write
// is logged, not thrown, and the platform keeps the value and writes it again until it reaches the disk.
// Any thread (UserDefaults is thread-safe).
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace vezeduduz::defaults {

std::optional<platform::Value> object(std::string_view key);
bool exists(std::string_view key);
// A string value; nullopt when absent or of another type.
std::optional<std::string> string(std::string_view key);
// The boolean reading of a bool or number; `fallback` when absent or of another type.
bool boolean(std::string_view key, bool fallback = false);
std::optional<double> number(std::string_view key);

void set(std::string_view key, const platform::Value& value);                   // a null value removes the key
void setString(std::string_view key, const std::optional<std::string>& value);  // nullopt removes
void remove(std::string_view key);

}  // namespace vezeduduz::defaults
