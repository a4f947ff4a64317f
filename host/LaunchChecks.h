#pragma once
// What the host checks before it boots a device: flags naming files that cannot serve (refused), and a
// bundle that would launch but not as its user probably meant (warned about; the app still runs as given).
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "host/Options.h"

namespace tesmar_host {

// Why a path that is there is no regular file, for messages: "is a folder, not a file", "is a FIFO, ...".
std::string notAFile(const std::filesystem::file_status& status);

// The first --ca that names no readable file of PEM certificates, as a message naming the flag.
std::optional<std::string> checkCertificateFlags(const Options& options);

// With the minimal app, a start URL from neither --start-url nor Info.plist: the message saying so.
std::optional<std::string> checkStartURL(const Options& options);

// Warnings about the bundle and the flags, one message each (empty when all looks usable).
std::vector<std::string> launchWarnings(const Options& options);

}  // namespace tesmar_host
