#pragma once
// UUID: a 128-bit identifier. random() makes a version 4 UUID from OpenSSL's random generator;
// uuidString() is the upper-case 8-4-4-4-12 form ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"). A plain value,
// safe to copy between threads.
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class UUID {
public:
    using Bytes = std::array<uint8_t, 16>;

    UUID() = default;  // all zeros
    explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // A fresh random (version 4, RFC 4122 variant) UUID. Throws std::runtime_error only when the
    // system's random source fails, since a predictable identifier would be worse than none.
    static UUID random();
    // The 8-4-4-4-12 hex form in either letter case; nullopt for anything else.
    static std::optional<UUID> fromString(std::string_view text);

    std::string uuidString() const;
    const Bytes& bytes() const { return bytes_; }
    int version() const { return bytes_[6] >> 4; }

    auto operator<=>(const UUID&) const = default;
    bool operator==(const UUID&) const = default;

private:
    Bytes bytes_{};
};

}  // namespace platform
