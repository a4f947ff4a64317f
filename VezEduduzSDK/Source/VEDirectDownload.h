#pragma once
// The push client's small synchronous download, shared by the media attachments of local
// notifications and by the service extension: one GET of a URL into a file, the calling thread blocked
// until it ends.
//
// It never hangs and never fills the disk: the wait ends at the deadline (the transfer is cancelled, a
// time-out error), and a body longer than maxBytes ends it too (DataLengthExceedsMaximum). An answer
// other than 2xx is an error (BadServerResponse), not media. On any error the file is removed, so no
// partial download stays behind. The first error seen is the one reported.
//
// Threads: call from any thread but the main loop's (the callbacks run on the session's own queue).
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

namespace vezeduduz {

struct VEDirectDownloadLimits {
    double timeoutSeconds = 25;
    int64_t maxBytes = 50 * 1024 * 1024;
};

// The response's MIME type ("" when the server named none), or the error. An existing file at
// `filePath` is replaced.
platform::Result<std::string> downloadItemAtURL(const platform::URL& url, const std::string& filePath,
                                                const VEDirectDownloadLimits& limits = {});

}  // namespace vezeduduz
