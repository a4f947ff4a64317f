#pragma once
// Certificates kept as files among an app's resources, for pinning policies.
// Files that cannot be read or hold no certificate are skipped silently: a pin list is built from
// whatever is usable. Blocking file I/O; call from any thread.
#include <string>
#include <vector>

#include "platform/security/Certificate.h"

namespace platform::security {

// The extensions looked for, in either letter case: .cer .crt .der .pem.
bool isCertificateFileName(const std::string& fileName);

// Every certificate in the files at `paths` (each path once, in sorted order). A file may hold DER, or
// PEM with one or more certificates (all are taken).
std::vector<Certificate> certificatesAtPaths(std::vector<std::string> paths);

// Every certificate in the certificate files directly inside `directory` (not its subfolders).
// A missing directory gives an empty list.
std::vector<Certificate> certificatesInDirectory(const std::string& directory);

// The public key of each certificate that has one, in order.
std::vector<PublicKey> publicKeysOf(const std::vector<Certificate>& certificates);

}  // namespace platform::security
