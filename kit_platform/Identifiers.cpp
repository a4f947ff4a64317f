#include "kit_platform/Identifiers.h"

#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/UUID.h"

namespace verira {

platform::Result<std::string> loadOrMakeInstallationIdentifier() {
    auto& files = platform::FileManager::defaultManager();
    auto support = files.directory(platform::SearchPathDirectory::ApplicationSupport);
    if (!support) return support.error();
    std::string path = *support + "/" + kVeriraDirectoryName + "/" + kInstallationIdentifierFileName;
    if (files.fileExists(path)) {
        auto text = files.stringWithContentsOfFile(path, 1024);
        if (text) {
            std::string stored = *text;
            while (!stored.empty() && (stored.back() == '\n' || stored.back() == '\r')) stored.pop_back();
            if (auto uuid = platform::UUID::fromString(stored)) return uuid->uuidString();
        }
        platform::consoleLog("[Verira] The stored installation identifier is unreadable; a new one replaces it");
    }
    std::string made = platform::UUID::random().uuidString();
    // Made once, on the first launch, whose start must not wait for the disk: the kits have it at once, the
    // file (and its folder) follow on a worker. Unflushed, a power cut can only leave the file empty or
    // absent, and either is made anew.
    platform::PendingWrites::Options options;
    options.mode = 0600;
    options.flush = platform::FileManager::Flush::Deferred;
    options.onFailure = platform::PendingWrites::OnFailure::Say;
    options.makeFolder = true;
    platform::PendingWrites::writeSoon(path, made + "\n", options);
    return made;
}

std::string makeExecutionIdentifier() { return platform::UUID::random().uuidString(); }

}  // namespace verira
