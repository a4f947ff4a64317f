#include "demo/LoglaneServiceStandIn.h"

namespace tesmar_demo {

LoglaneServiceStandIn::LoglaneServiceStandIn(const std::string& directory)
    : ServiceStandIn(kHostName, directory, "loglane-service") {
    route(kEndpoint, "POST", "/log", [](const RecordedRequest&) { return Reply::withStatus(200); });
}

std::unique_ptr<LoglaneServiceStandIn> LoglaneServiceStandIn::secure(const std::string& directory) {
    return std::unique_ptr<LoglaneServiceStandIn>(new LoglaneServiceStandIn(directory));
}

std::string LoglaneServiceStandIn::uncompressedBody(const RecordedRequest& request) {
    const std::string& body = request.body;
    bool gzip = body.size() >= 2 && uint8_t(body[0]) == 0x1f && uint8_t(body[1]) == 0x8b;
    if (!gzip) return body;
    return gzipDecompress(body).value_or("");
}

}  // namespace tesmar_demo
