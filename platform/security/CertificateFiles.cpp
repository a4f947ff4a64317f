#include "platform/security/CertificateFiles.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/foundation/ASCII.h"

namespace platform::security {

namespace {

// Resource files are small; anything larger is not a certificate file.
constexpr std::uintmax_t kMaximumCertificateFileSize = 1 << 20;

}  // namespace

bool isCertificateFileName(const std::string& fileName) {
    std::string extension = lowercasedASCII(std::filesystem::path(fileName).extension().string());
    return extension == ".cer" || extension == ".crt" || extension == ".der" || extension == ".pem";
}

std::vector<Certificate> certificatesAtPaths(std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    std::vector<Certificate> certificates;
    for (const auto& path : paths) {
        std::error_code error;
        auto size = std::filesystem::file_size(path, error);
        if (error || size == 0 || size > kMaximumCertificateFileSize) continue;
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (auto der = Certificate::fromDER(bytes)) {
            certificates.push_back(std::move(*der));
            continue;
        }
        auto pem = Certificate::allFromPEM(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (pem) certificates.insert(certificates.end(), pem->begin(), pem->end());
    }
    return certificates;
}

std::vector<Certificate> certificatesInDirectory(const std::string& directory) {
    std::vector<std::string> paths;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError) && isCertificateFileName(it->path().filename().string()))
            paths.push_back(it->path().string());
    }
    return certificatesAtPaths(std::move(paths));
}

std::vector<PublicKey> publicKeysOf(const std::vector<Certificate>& certificates) {
    std::vector<PublicKey> keys;
    for (const auto& certificate : certificates)
        if (auto key = certificate.publicKey()) keys.push_back(std::move(*key));
    return keys;
}

}  // namespace platform::security
