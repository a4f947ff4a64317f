#include "testing/MediaStandIn.h"

namespace tesmar_testing {

const std::string& MediaStandIn::pngBytes() {
    static const std::string bytes = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(120, '\x42');
    return bytes;
}

MediaStandIn::MediaStandIn(std::chrono::milliseconds slowDelay) {
    // The most recently added matching route wins: the catch-all first.
    server_.route("GET", "/media/:file", Reply::text(pngBytes(), 200, "image/png"));
    server_.route("GET", "/media/missing.png", Reply::text("<html>not here</html>", 404, "text/html"));
    server_.route("GET", "/media/slow.png", Reply::text(pngBytes(), 200, "image/png").after(slowDelay));
}

}  // namespace tesmar_testing
