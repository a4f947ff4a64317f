#include "platform/foundation/Digest.h"

#include <gtest/gtest.h>

namespace {

using platform::DigestAlgorithm;

TEST(Digest, KnownVectors) {
    using namespace std::string_literals;
    struct Vector {
        DigestAlgorithm algorithm;
        std::string input;
        const char* hex;
    };
    const std::vector<Vector> vectors = {
        {DigestAlgorithm::md5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {DigestAlgorithm::md5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {DigestAlgorithm::sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {DigestAlgorithm::sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {DigestAlgorithm::sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {DigestAlgorithm::sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // Embedded NUL: all four bytes are hashed, not just "a" (values from an independent tool).
        {DigestAlgorithm::md5, "a\0bc"s, "a5f5d1ebd362d6639389a7e1fede534d"},
        {DigestAlgorithm::sha1, "a\0bc"s, "0b2749668f0ea8df8a630da13f0d218709efd5ca"},
        {DigestAlgorithm::sha256, "a\0bc"s, "40bb547d936bbd31318ee37ac8799e7ecbb22eda2651f65e3214bffb8ce97bb4"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.input.size());
        EXPECT_EQ(platform::digestHex(v.algorithm, v.input), v.hex);
        std::vector<uint8_t> raw = platform::digest(v.algorithm, v.input);
        EXPECT_EQ(raw.size(), platform::digestLength(v.algorithm));
        EXPECT_EQ(platform::hexString(raw), v.hex);
    }
    EXPECT_NE(platform::md5Hex("a\0bc"s), platform::md5Hex("a"));
}

TEST(Digest, PiecesHashLikeTheWhole) {
    std::string input(100000, '\0');
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 31 % 251);
    platform::Digester digester(DigestAlgorithm::sha256);
    for (size_t at = 0; at < input.size(); at += 4093) digester.update(std::string_view(input).substr(at, 4093));
    EXPECT_EQ(platform::hexString(digester.finish()), platform::sha256Hex(input));
    // After finish the digester starts over.
    digester.update("abc");
    EXPECT_EQ(platform::hexString(digester.finish()), platform::sha256Hex("abc"));
}

}  // namespace
