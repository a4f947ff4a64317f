#include "demo/ServiceStandIn.h"

#include "demo/Certificates.h"

namespace tesmar_demo {

namespace {

std::unique_ptr<HttpServer> makeServer(const std::string& hostName, const std::string& directory,
                                       const std::string& filePrefix, std::string& rootPath) {
    if (directory.empty()) return std::make_unique<HttpServer>();
    auto pki = ServerPKI::make(hostName);
    auto files = writeServerFiles(directory, pki.leaf, {&pki.intermediate}, filePrefix);
    rootPath = writePEMFile(directory + "/" + filePrefix + "-root.pem", pki.root.certificatePEM);
    return std::make_unique<HttpServer>(files.certificateChainPath, files.privateKeyPath);
}

}  // namespace

ServiceStandIn::ServiceStandIn(std::string hostName, const std::string& directory, const std::string& filePrefix)
    : hostName_(std::move(hostName)), server_(makeServer(hostName_, directory, filePrefix, rootPath_)) {}

ServiceStandIn::~ServiceStandIn() { server_->stop(); }

std::pair<std::string, std::string> ServiceStandIn::connectToEntry() const {
    return {hostName_ + ":443", "127.0.0.1:" + std::to_string(port())};
}

void ServiceStandIn::script(const std::string& endpoint, std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    scripts_[endpoint] = Script{std::move(replies), 0};
}

void ServiceStandIn::clearScript(const std::string& endpoint) {
    std::lock_guard lock(mutex_);
    scripts_.erase(endpoint);
}

void ServiceStandIn::route(const std::string& endpoint, const std::string& method, const std::string& pattern,
                           std::function<Reply(const RecordedRequest&)> answer) {
    server_->routeRaw(method, pattern,
                      [this, endpoint, answer = std::move(answer)](
                          const RecordedRequest& recorded, const httplib::Request& req, httplib::Response& res) {
                          auto scripted = nextScriptedReply(endpoint);
                          server_->answer(recorded, req, res, scripted ? std::move(*scripted) : answer(recorded));
                      });
}

std::optional<Reply> ServiceStandIn::nextScriptedReply(const std::string& endpoint) {
    std::lock_guard lock(mutex_);
    auto it = scripts_.find(endpoint);
    if (it == scripts_.end() || it->second.replies.empty()) return std::nullopt;
    auto& script = it->second;
    Reply reply = script.replies[std::min(script.next, script.replies.size() - 1)];
    if (script.next < script.replies.size()) ++script.next;
    return reply;
}

}  // namespace tesmar_demo
