#pragma once
// MediaStandIn: a media host for notification attachments, over TestHttpServer (plain http on
// 127.0.0.1). It serves:
//   /media/<file>           a small PNG image (image/png), whatever the name (with or without an
//                           extension)
//   /media/missing.png      404 with an HTML page
//   /media/slow.png         the image after `slowDelay` (set before use; default 10 s)
// and records every request. Threads: as TestHttpServer.
#include <chrono>
#include <string>

#include "testing/TestHttpServer.h"

namespace tesmar_testing {

class MediaStandIn {
public:
    explicit MediaStandIn(std::chrono::milliseconds slowDelay = std::chrono::seconds(10));

    std::string url(const std::string& path) const { return server_.url(path); }
    TestHttpServer& server() { return server_; }
    static const std::string& pngBytes();

private:
    TestHttpServer server_;
};

}  // namespace tesmar_testing
