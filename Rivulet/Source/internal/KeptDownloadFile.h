#pragma once
// KeptDownloadFile: the file of a download that has no destination. The session removes its own
// file as soon as it has announced it, but response handlers read it only after the task has
// completed; so the file is moved beside it under a name of ours and removed when the last holder
// (the download's task delegate, kept alive by its request and queued handlers) lets go.
#include <memory>

#include "platform/foundation/URL.h"

namespace rivulet {

class KeptDownloadFile {
public:
    // Moves the file at `location` to a new name in the same directory; nullptr when it cannot.
    static std::shared_ptr<KeptDownloadFile> take(const platform::URL& location);
    ~KeptDownloadFile();
    KeptDownloadFile(const KeptDownloadFile&) = delete;
    KeptDownloadFile& operator=(const KeptDownloadFile&) = delete;

    const platform::URL& url() const { return url_; }

private:
    explicit KeptDownloadFile(platform::URL url) : url_(std::move(url)) {}
    platform::URL url_;
};

}  // namespace rivulet
