#pragma once
// The push client's small synchronous download, shared by the media attachments of local
// notifications and by the service extension: one GET of a URL into a file, the calling thread blocked
// until it ends.
//
// It never hangs and never fills the disk: the wait ends at the time-out or at the limits' deadline,
// whichever comes first (the transfer is cancelled, a time-out error; with no time left none is
// made), and a body longer than maxBytes ends it too (DataLengthExceedsMaximum). An answer
// other than 2xx is an error (BadServerResponse), not media. On any error the file is removed, so no
// partial download stays behind. The first error seen is the one reported.
//
// Threads: call from any thread but the main loop's (the callbacks run on the session's own queue).
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"

namespace vezeduduz {

struct VEDirectDownloadLimits {
    double timeoutSeconds = 25;  // from the start of the download
    int64_t maxBytes = 50 * 1024 * 1024;
    // A moment no download outlasts, whatever its time-out: downloads that must end together share it.
    std::optional<std::chrono::steady_clock::time_point> deadline;

    // When a download starting now must end.
    std::chrono::steady_clock::time_point endFromNow() const;
};

// The response's MIME type ("" when the server named none), or the error. An existing file at
// `filePath` is replaced.
platform::Result<std::string> downloadItemAtURL(const platform::URL& url, const std::string& filePath,
                                                const VEDirectDownloadLimits& limits = {});

}  // namespace vezeduduz
