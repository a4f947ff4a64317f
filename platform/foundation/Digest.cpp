#include "platform/foundation/Digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <stdexcept>

namespace platform {

namespace {

const EVP_MD* evpDigest(DigestAlgorithm algorithm) {
    switch (algorithm) {
    case DigestAlgorithm::md5:
        return EVP_md5();
    case DigestAlgorithm::sha1:
        return EVP_sha1();
    case DigestAlgorithm::sha256:
        return EVP_sha256();
    }
    return EVP_sha256();
}

// Digest setup only fails when OpenSSL cannot allocate or the algorithm is unavailable (e.g. MD5 under a
// FIPS-only provider); callers have no sensible fallback, so that is raised rather than hashed wrong.
[[noreturn]] void digestFailure(const char* what) {
    ERR_clear_error();
    throw std::runtime_error(std::string("digest: ") + what);
}

}  // namespace

size_t digestLength(DigestAlgorithm algorithm) { return static_cast<size_t>(EVP_MD_get_size(evpDigest(algorithm))); }

std::vector<uint8_t> digest(DigestAlgorithm algorithm, const void* data, size_t size) {
    Digester digester(algorithm);
    digester.update(data, size);
    return digester.finish();
}

std::string digestHex(DigestAlgorithm algorithm, const void* data, size_t size) {
    return hexString(digest(algorithm, data, size));
}

std::string hexString(const void* data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex.push_back(kDigits[bytes[i] >> 4]);
        hex.push_back(kDigits[bytes[i] & 0x0f]);
    }
    return hex;
}

struct Digester::State {
    DigestAlgorithm algorithm;
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
    void start() {
        if (EVP_DigestInit_ex(context, evpDigest(algorithm), nullptr) != 1) digestFailure("cannot start");
    }
};

Digester::Digester(DigestAlgorithm algorithm) : state_(std::make_unique<State>()) {
    state_->algorithm = algorithm;
    state_->context = EVP_MD_CTX_new();
    if (!state_->context) digestFailure("cannot allocate");
    state_->start();
}

Digester::~Digester() = default;

void Digester::update(const void* data, size_t size) {
    if (size == 0) return;
    if (EVP_DigestUpdate(state_->context, data, size) != 1) digestFailure("cannot update");
}

std::vector<uint8_t> Digester::finish() {
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->context, out.data(), &length) != 1) digestFailure("cannot finish");
    out.resize(length);
    state_->start();
    return out;
}

}  // namespace platform
