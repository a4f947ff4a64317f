#include "kit_platform/Identifiers.h"

#include <optional>

#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/UUID.h"

namespace verira {

namespace {

// The identifier a stored text holds (a line end after it is allowed).
std::optional<std::string> storedIdentifier(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (auto uuid = platform::UUID::fromString(text)) return uuid->uuidString();
    return std::nullopt;
}

}  // namespace

platform::Result<std::string> loadOrMakeInstallationIdentifier() {
    auto& files = platform::FileManager::defaultManager();
    auto support = files.directory(platform::SearchPathDirectory::ApplicationSupport);
    if (!support) return support.error();
    std::string path = *support + "/" + kVeriraDirectoryName + "/" + kInstallationIdentifierFileName;
    // One this process made and the disk has not taken yet (its write is to come, or was refused and is
    // kept) is newer than the file.
    if (auto kept = platform::PendingWrites::keptBytes(path))
        if (auto identifier = storedIdentifier(std::string(kept->begin(), kept->end()))) return *identifier;
    if (files.fileExists(path)) {
        if (auto text = files.stringWithContentsOfFile(path, 1024))
            if (auto identifier = storedIdentifier(*text)) return *identifier;
        platform::consoleLog("[Verira] The stored installation identifier is unreadable; a new one replaces it");
    }
    std::string made = platform::UUID::random().uuidString();
    // Made once, on the first launch, whose start must not wait for the disk: the kits have it at once, the
    // file (and its folder) follow on a worker, and a write the disk refuses is kept and tried again until
    // it lands. Unflushed, a power cut can only leave the file empty or absent, and either is made anew.
    platform::PendingWrites::Options options;
    options.mode = 0600;
    options.flush = platform::FileManager::Flush::Deferred;
    options.makeFolder = true;
    platform::PendingWrites::writeSoon(path, made + "\n", options);
    return made;
}

std::string makeExecutionIdentifier() { return platform::UUID::random().uuidString(); }

}  // namespace verira
