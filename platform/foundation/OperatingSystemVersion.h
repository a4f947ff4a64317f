#pragma once
// OperatingSystemVersion: the phone's system version as major.minor.patch, ordered part by part.
// A plain value, safe to copy between threads.
#include <compare>
#include <optional>
#include <string>

namespace platform {

struct OperatingSystemVersion {
    int major = 17;
    int minor = 0;
    int patch = 0;

    // "10", "10.3" or "12.1.4"; nullopt when the text is not of that form.
    static std::optional<OperatingSystemVersion> parse(const std::string& text);
    std::string string() const;  // "10.3" (patch only when non-zero)
    auto operator<=>(const OperatingSystemVersion&) const = default;
    bool atLeast(int maj, int min = 0, int pat = 0) const { return *this >= OperatingSystemVersion{maj, min, pat}; }
};

}  // namespace platform
