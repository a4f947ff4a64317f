#pragma once
// LoglaneServiceStandIn: the diagnostics log service on a HttpServer, for tests and the demo.
// POST /log records the upload and answers 200 with an empty body; a script of replies (500s, dropped
// connections, held answers; see ServiceStandIn) can take over until clearScript(). Anything else is
// recorded and answered 404.
//
// Threads: answers run on the server's threads; every member is thread-safe.
#include <memory>
#include <string>
#include <vector>

#include "demo/ServiceStandIn.h"

namespace tesmar_demo {

class LoglaneServiceStandIn : public ServiceStandIn {
public:
    // The app's fixed host name for the service.
    static constexpr const char* kHostName = "loglane.vodezu.com";

    // Plain HTTP on 127.0.0.1.
    LoglaneServiceStandIn() : LoglaneServiceStandIn(std::string()) {}
    // HTTPS with certificates for kHostName made in `directory`.
    static std::unique_ptr<LoglaneServiceStandIn> secure(const std::string& directory);

    // "http(s)://127.0.0.1:PORT/log".
    std::string logURL() const { return server().url("/log"); }

    void script(std::vector<Reply> replies) { ServiceStandIn::script(kEndpoint, std::move(replies)); }
    void clearScript() { ServiceStandIn::clearScript(kEndpoint); }

    // Every POST to /log, in order (also those answered from a script).
    std::vector<RecordedRequest> uploads() const { return server().requestsTo("/log"); }
    // The request body without its gzip layer (as is when it was not gzip); empty when it does not inflate.
    static std::string uncompressedBody(const RecordedRequest& request);

private:
    static constexpr const char* kEndpoint = "POST /log";
    explicit LoglaneServiceStandIn(const std::string& directory);
};

}  // namespace tesmar_demo
