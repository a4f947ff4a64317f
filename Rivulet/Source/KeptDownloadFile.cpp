#include "Rivulet/Source/internal/KeptDownloadFile.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/UUID.h"

namespace rivulet {

std::shared_ptr<KeptDownloadFile> KeptDownloadFile::take(const platform::URL& location) {
    if (!location.isFileURL()) return nullptr;
    const auto kept = location.deletingLastPathComponent().appendingPathComponent(
        "org.rivulet.download." + platform::UUID::random().uuidString() + ".tmp");
    // moveItem refuses an existing destination, so nothing planted there is replaced.
    if (!platform::FileManager::defaultManager().moveItem(location.path(), kept.path())) return nullptr;
    return std::shared_ptr<KeptDownloadFile>(new KeptDownloadFile(kept));
}

KeptDownloadFile::~KeptDownloadFile() {
    (void)platform::FileManager::defaultManager().removeItem(url_.path());  // no one is left to tell
}

}  // namespace rivulet
