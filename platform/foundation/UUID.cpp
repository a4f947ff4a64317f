#include "platform/foundation/UUID.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace platform {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isDashPosition(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// Sixteen bytes straight from the kernel's generator. Asking the TLS library instead would set its own
// generator up on the caller's thread, which at launch is the main thread.
bool kernelRandom(uint8_t* out, size_t size) {
    while (size > 0) {
        ssize_t got = ::getrandom(out, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += got;
        size -= size_t(got);
    }
    return true;
}

}  // namespace

UUID UUID::random() {
    Bytes bytes;
    if (!kernelRandom(bytes.data(), bytes.size()) && RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        ERR_clear_error();
        throw std::runtime_error("UUID: random source failed");
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return UUID(bytes);
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Bytes bytes{};
    size_t byte = 0;
    for (size_t i = 0; i < text.size();) {
        if (isDashPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int high = hexValue(text[i]);
        int low = i + 1 < text.size() && !isDashPosition(i + 1) ? hexValue(text[i + 1]) : -1;
        if (high < 0 || low < 0) return std::nullopt;
        bytes[byte++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kDigits[bytes_[i] >> 4]);
        text.push_back(kDigits[bytes_[i] & 0x0f]);
    }
    return text;
}

}  // namespace platform
