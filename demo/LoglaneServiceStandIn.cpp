#include "demo/LoglaneServiceStandIn.h"

#include "demo/Certificates.h"

namespace tesmar_demo {

LoglaneServiceStandIn::LoglaneServiceStandIn() : LoglaneServiceStandIn(std::make_unique<HttpServer>(), "") {}

LoglaneServiceStandIn::LoglaneServiceStandIn(std::unique_ptr<HttpServer> server, std::string rootPath)
    : server_(std::move(server)), rootPath_(std::move(rootPath)) {
    server_->routeRaw("POST", "/log",
                      [this](const RecordedRequest& recorded, const httplib::Request& req, httplib::Response& res) {
                          Reply reply = Reply::withStatus(200);
                          {
                              std::lock_guard lock(mutex_);
                              if (!replies_.empty()) {
                                  reply = replies_[std::min(next_, replies_.size() - 1)];
                                  ++next_;
                              }
                          }
                          server_->answer(recorded, req, res, std::move(reply));
                      });
}

std::unique_ptr<LoglaneServiceStandIn> LoglaneServiceStandIn::secure(const std::string& directory) {
    auto pki = ServerPKI::make(kHostName);
    auto files = writeServerFiles(directory, pki.leaf, {&pki.intermediate}, "loglane-service");
    auto root = writePEMFile(directory + "/loglane-service-root.pem", pki.root.certificatePEM);
    auto server = std::make_unique<HttpServer>(files.certificateChainPath, files.privateKeyPath);
    return std::unique_ptr<LoglaneServiceStandIn>(new LoglaneServiceStandIn(std::move(server), root));
}

LoglaneServiceStandIn::~LoglaneServiceStandIn() { server_->stop(); }

std::pair<std::string, std::string> LoglaneServiceStandIn::connectToEntry() const {
    return {std::string(kHostName) + ":443", "127.0.0.1:" + std::to_string(port())};
}

void LoglaneServiceStandIn::script(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    replies_ = std::move(replies);
    next_ = 0;
}

void LoglaneServiceStandIn::clearScript() { script({}); }

std::string LoglaneServiceStandIn::uncompressedBody(const RecordedRequest& request) {
    const std::string& body = request.body;
    bool gzip = body.size() >= 2 && uint8_t(body[0]) == 0x1f && uint8_t(body[1]) == 0x8b;
    if (!gzip) return body;
    return gzipDecompress(body).value_or("");
}

}  // namespace tesmar_demo
