#include "platform/security/CertificateFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "testing/TestCertificates.h"

namespace {

using namespace platform::security;

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(CertificateFiles, LoadsEveryUsableCertificateFileAndSkipsTheRest) {
    auto pki = tesmar_testing::TestPKI::make("files.example.test");
    std::string dir = std::filesystem::temp_directory_path() / ("tesmar-certfiles-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir + "/nested");

    EXPECT_TRUE(certificatesInDirectory(dir).empty());
    EXPECT_TRUE(certificatesInDirectory(dir + "/does-not-exist").empty());

    writeBytes(dir + "/root.cer", pki.root.der());
    writeBytes(dir + "/intermediate.DER", pki.intermediate.der());
    tesmar_testing::writePEMFile(dir + "/pair.PEM", pki.leaf.certificatePEM + pki.otherHostLeaf.certificatePEM);
    writeBytes(dir + "/garbage.der", {0x30, 0x82, 0x01, 0x00, 0x01});
    writeBytes(dir + "/empty.crt", {});
    writeBytes(dir + "/notes.txt", pki.unrelatedRoot.der());        // wrong extension
    writeBytes(dir + "/nested/deep.cer", pki.unrelatedRoot.der());  // not looked into

    std::vector<Certificate> found = certificatesInDirectory(dir);
    std::vector<Certificate> expected = {pki.intermediate.certificate(), pki.leaf.certificate(),
                                         pki.otherHostLeaf.certificate(), pki.root.certificate()};
    EXPECT_EQ(found, expected);  // sorted by path: intermediate.DER, pair.PEM, root.cer

    std::vector<PublicKey> keys = publicKeysOf(found);
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[1], pki.reissuedLeaf.publicKey());

    // A path given twice counts once.
    EXPECT_EQ(certificatesAtPaths({dir + "/root.cer", dir + "/root.cer", dir + "/missing.cer"}).size(), 1u);
    std::filesystem::remove_all(dir);
}

}  // namespace
