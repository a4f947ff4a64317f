#pragma once
// Message digests (MD5, SHA-1, SHA-256) through OpenSSL's EVP interface. The whole input is hashed,
// embedded NUL bytes included. Stateless functions are safe on any thread; a Digester belongs to one
// thread at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class DigestAlgorithm { md5, sha1, sha256 };

size_t digestLength(DigestAlgorithm algorithm);  // 16, 20, 32

std::vector<uint8_t> digest(DigestAlgorithm algorithm, const void* data, size_t size);
inline std::vector<uint8_t> digest(DigestAlgorithm algorithm, std::string_view text) {
    return digest(algorithm, text.data(), text.size());
}
inline std::vector<uint8_t> digest(DigestAlgorithm algorithm, const std::vector<uint8_t>& bytes) {
    return digest(algorithm, bytes.data(), bytes.size());
}

// Lower-case hex of the digest.
std::string digestHex(DigestAlgorithm algorithm, const void* data, size_t size);
inline std::string digestHex(DigestAlgorithm algorithm, std::string_view text) {
    return digestHex(algorithm, text.data(), text.size());
}
inline std::string digestHex(DigestAlgorithm algorithm, const std::vector<uint8_t>& bytes) {
    return digestHex(algorithm, bytes.data(), bytes.size());
}

inline std::string md5Hex(std::string_view text) { return digestHex(DigestAlgorithm::md5, text); }
inline std::string sha1Hex(std::string_view text) { return digestHex(DigestAlgorithm::sha1, text); }
inline std::string sha256Hex(std::string_view text) { return digestHex(DigestAlgorithm::sha256, text); }

// Lower-case hex of any bytes.
std::string hexString(const void* data, size_t size);
inline std::string hexString(const std::vector<uint8_t>& bytes) { return hexString(bytes.data(), bytes.size()); }

// Incremental hashing, for input that arrives in pieces (files, streams).
class Digester {
public:
    explicit Digester(DigestAlgorithm algorithm);
    ~Digester();
    Digester(const Digester&) = delete;
    Digester& operator=(const Digester&) = delete;

    void update(const void* data, size_t size);
    void update(std::string_view text) { update(text.data(), text.size()); }
    // The digest of everything given so far; the digester then starts over.
    std::vector<uint8_t> finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
