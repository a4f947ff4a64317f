#include "platform/foundation/OperatingSystemVersion.h"

#include <charconv>

namespace platform {

std::optional<OperatingSystemVersion> OperatingSystemVersion::parse(const std::string& text) {
    OperatingSystemVersion v{0, 0, 0};
    int* parts[3] = {&v.major, &v.minor, &v.patch};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 3; ++i) {
        auto [next, ec] = std::from_chars(p, end, *parts[i]);
        if (ec != std::errc() || next == p || *parts[i] < 0) return std::nullopt;
        p = next;
        if (p == end) return v;
        if (*p != '.' || i == 2) return std::nullopt;
        ++p;
    }
    return std::nullopt;
}

std::string OperatingSystemVersion::string() const {
    std::string s = std::to_string(major) + "." + std::to_string(minor);
    if (patch) s += "." + std::to_string(patch);
    return s;
}

}  // namespace platform
