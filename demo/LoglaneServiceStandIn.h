#pragma once
// LoglaneServiceStandIn: the diagnostics log service on a HttpServer, for tests and the demo.
// POST /log records the upload and answers 200 with an empty body; a script of replies (500s, dropped
// connections, held answers) can take over, each used in turn, the last repeating, until clearScript().
// Anything else is recorded and answered 404.
//
// Threads: answers run on the server's threads; every member is thread-safe. The destructor stops the
// server before its handlers' state goes away.
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "demo/HttpServer.h"

namespace tesmar_demo {

class LoglaneServiceStandIn {
public:
    // The app's fixed host name for the service.
    static constexpr const char* kHostName = "loglane.vodezu.com";

    // Plain HTTP on 127.0.0.1.
    LoglaneServiceStandIn();
    // HTTPS with certificates for kHostName made in `directory`; rootCertificatePath() is the root to
    // trust; connectToEntry() maps "loglane.vodezu.com:443" here.
    static std::unique_ptr<LoglaneServiceStandIn> secure(const std::string& directory);
    ~LoglaneServiceStandIn();
    LoglaneServiceStandIn(const LoglaneServiceStandIn&) = delete;
    LoglaneServiceStandIn& operator=(const LoglaneServiceStandIn&) = delete;

    HttpServer& server() { return *server_; }
    int port() const { return server_->port(); }
    // "http(s)://127.0.0.1:PORT/log".
    std::string logURL() const { return server_->url("/log"); }
    const std::string& rootCertificatePath() const { return rootPath_; }
    std::pair<std::string, std::string> connectToEntry() const;

    void script(std::vector<Reply> replies);
    void clearScript();

    // Every POST to /log, in order (also those answered from a script).
    std::vector<RecordedRequest> uploads() const { return server_->requestsTo("/log"); }
    // The request body without its gzip layer (as is when it was not gzip); empty when it does not inflate.
    static std::string uncompressedBody(const RecordedRequest& request);

private:
    LoglaneServiceStandIn(std::unique_ptr<HttpServer> server, std::string rootPath);

    std::unique_ptr<HttpServer> server_;
    std::string rootPath_;
    mutable std::mutex mutex_;  // guards the script
    std::vector<Reply> replies_;
    size_t next_ = 0;
};

}  // namespace tesmar_demo
