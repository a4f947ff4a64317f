#pragma once
// TestHttp2Server: an HTTP/2 server over TLS on 127.0.0.1 (a free port), for the client's HTTP/2 roads.
// The TLS handshake offers "h2" alone (ALPN), so a client that connects speaks HTTP/2; the protocol is
// nghttp2's server session, the TLS OpenSSL's. Each connection runs on a thread of its own, so streams
// of one connection are answered in the order their requests are whole. Frames go out packed into full
// TLS records, as a file server writes them: a record may end inside a frame.
//
// A request is answered from its path's route: a status and a body (with its content-length); a path
// without a route gets 404. While a path is held its requests wait, unanswered, until it is released.
// Every public method is thread-safe. The destructor closes every connection and joins the threads.
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tesmar_testing {

class TestHttp2Server {
public:
    // Throws std::runtime_error when the certificate or key cannot be loaded or no socket can be bound.
    TestHttp2Server(const std::string& certificateChainPath, const std::string& privateKeyPath);
    ~TestHttp2Server();
    TestHttp2Server(const TestHttp2Server&) = delete;
    TestHttp2Server& operator=(const TestHttp2Server&) = delete;

    int port() const { return port_; }
    void route(const std::string& path, int status, std::string body);
    void hold(const std::string& path);
    void release(const std::string& path);

    // Whole requests received, and answers sent to their end; the waits give up after ten seconds.
    size_t requestCount() const;
    bool waitForRequests(size_t count) const;
    bool waitForAnswers(size_t count) const;

private:
    struct Route {
        int status = 404;
        std::shared_ptr<const std::string> body;
    };
    struct Connection;
    struct SslContext;
    void acceptLoop();
    void serve(Connection& connection);
    // The path's route; none while the path is held.
    std::optional<Route> routeFor(const std::string& path);
    void count(size_t TestHttp2Server::*counter);
    bool waitFor(size_t TestHttp2Server::*counter, size_t count) const;

    std::unique_ptr<SslContext> tls_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::string, Route> routes_;
    std::set<std::string> held_;
    size_t requests_ = 0;
    size_t answers_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::thread acceptor_;
};

}  // namespace tesmar_testing
