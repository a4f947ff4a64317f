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
    std::string dir = *support + "/" + kVeriraDirectoryName;
    std::string path = dir + "/" + kInstallationIdentifierFileName;
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
    if (auto created = files.createDirectory(dir); !created) return created.error();
    // Made once, on the first launch, where a wait for the disk would hold up the start. Unflushed, a power
    // cut can only leave the file empty or absent, and either is made anew.
    platform::PendingWrites::Options options;
    options.mode = 0600;
    options.flush = platform::FileManager::Flush::Deferred;
    options.onFailure = platform::PendingWrites::OnFailure::Say;
    if (auto written = platform::PendingWrites::write(path, made + "\n", options); !written) return written.error();
    return made;
}

std::string makeExecutionIdentifier() { return platform::UUID::random().uuidString(); }

}  // namespace verira
