#pragma once
// ServiceStandIn: the part every service stand-in shares. Its HttpServer serves plain HTTP on 127.0.0.1,
// or HTTPS with certificates made for the service's fixed host name (rootCertificatePath() is the root
// to trust, connectToEntry() maps "<host>:443" to the server). Its endpoints answer from a script while
// one is set: script(endpoint, replies) makes an endpoint answer from HttpServer replies (failures,
// dropped connections, held answers, ...), each used in turn, the last repeating, until clearScript().
//
// Threads: answers run on the server's threads; every member is thread-safe. The server stops when the
// stand-in goes; a stand-in whose answers read its own members calls server().stop() first thing in its
// destructor, so no answer runs while they go away.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "demo/HttpServer.h"

namespace tesmar_demo {

class ServiceStandIn {
public:
    ServiceStandIn(const ServiceStandIn&) = delete;
    ServiceStandIn& operator=(const ServiceStandIn&) = delete;

    HttpServer& server() { return *server_; }
    const HttpServer& server() const { return *server_; }
    int port() const { return server_->port(); }
    const std::string& rootCertificatePath() const { return rootPath_; }
    // {"<host>:443", "127.0.0.1:PORT"} for PlatformSettings::connectTo.
    std::pair<std::string, std::string> connectToEntry() const;

    void script(const std::string& endpoint, std::vector<Reply> replies);
    void clearScript(const std::string& endpoint);

protected:
    // Plain HTTP when `directory` is empty; else HTTPS, its certificate files written in `directory` and
    // named after `filePrefix` ("<filePrefix>-root.pem" is the root).
    ServiceStandIn(std::string hostName, const std::string& directory, const std::string& filePrefix);
    ~ServiceStandIn();

    // Answers `method` `pattern` as `endpoint`: from its script while one is set, else with `answer`.
    void route(const std::string& endpoint, const std::string& method, const std::string& pattern,
               std::function<Reply(const RecordedRequest&)> answer);

private:
    std::optional<Reply> nextScriptedReply(const std::string& endpoint);

    std::string hostName_;
    std::string rootPath_;
    std::unique_ptr<HttpServer> server_;
    std::mutex mutex_;  // guards the scripts
    struct Script {
        std::vector<Reply> replies;
        size_t next = 0;
    };
    std::map<std::string, Script> scripts_;
};

}  // namespace tesmar_demo
