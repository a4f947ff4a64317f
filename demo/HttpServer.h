#pragma once
// HttpServer: an HTTP or HTTPS server on 127.0.0.1 (a free port) over cpp-httplib, the core of the
// demo's site and service stand-ins and of the tests' scripted server. It records every request
// exactly as sent and answers from per-route scripts (see ServerScript.h): status sequences, delays,
// held answers, dropped connections, redirects, large streamed bodies with ranges, gzip. Anything no
// route matches is recorded and answered 404, or handed to the fallback handler. (Requests cpp-httplib cannot parse at
// all — a malformed or over-long request line — get its 400/414 and leave no record.)
//
// Lifetime: the constructor binds and starts serving on its own threads and returns once the server
// accepts connections; the destructor (or stop()) ends held answers and delays, closes the
// connections and joins every thread. Routes may be added or replaced at any time.
//
// Threads: requests are answered on the server's worker threads (several at once); scripts'
// generate callbacks and raw handlers run there. Every public method is thread-safe.
//
// Building servers on top (service stand-ins, demo sites): own an HttpServer (or derive from it)
// and install handlers with routeRaw()/setFallbackHandler(), which get the full cpp-httplib request
// and response; answer(), dropConnection() and pause() give them the scripted behaviours. A class
// whose handlers capture its own members must call stop() first thing in its destructor.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "demo/RecordedRequest.h"
#include "demo/ServerScript.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace tesmar_demo {

class HttpServer {
public:
    struct Options {
        // Both set: serve HTTPS with this chain (leaf first, then intermediates) and key, PEM files.
        std::string certificateChainPath;
        std::string privateKeyPath;
        // TLS faults, for clients' handshake failures (ignored without a chain and key):
        // a PEM file of CAs: every client must present a certificate issued by one of them;
        std::string clientCertificateAuthorityPath;
        // the newest protocol version offered (an OpenSSL TLS1_x_VERSION), 0 for the library's default;
        int maximumTLSVersion = 0;
        // close the connection as soon as the client's hello arrives, without a word back.
        bool closeDuringHandshake = false;
        // An OCSP response (DER) stapled to every handshake whose client asks for the certificate's status.
        std::string stapledOCSPResponse;
        size_t threads = 16;  // answers served at once (held answers each occupy one)
        // How long an idle kept-alive connection stays open.
        std::chrono::seconds keepAlive{5};
        // Keep every request and track connections (for requests(), waitForRequests(), closing
        // connections on stop()). Off for load generators, where a record per request would slow the
        // server down the longer it runs: requests are then only counted (requestCount()).
        bool record = true;
    };

    // Full access for dynamic servers. `recorded` is this request's record (already stored).
    using RawHandler =
        std::function<void(const RecordedRequest& recorded, const httplib::Request&, httplib::Response&)>;

    HttpServer();
    explicit HttpServer(Options options);
    // HTTPS with the given PEM files.
    HttpServer(const std::string& certificateChainPath, const std::string& privateKeyPath);
    // Throws std::runtime_error when the server cannot start (bad certificate files, no port).
    ~HttpServer();

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    bool isSecure() const { return secure_; }
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT" (no trailing slash).
    std::string baseURL() const;
    std::string url(const std::string& pathAndQuery) const { return baseURL() + pathAndQuery; }

    // Scripts. `method` is "GET", "POST", ... or "*" for any; a "GET" route also answers HEAD.
    // `pattern` is a path: literal segments, ":name" segments (one segment, into pathParams) and a
    // final "*" (the rest, into pathParams["*"]), e.g. "/api/:version/items/*". Matched against the
    // percent-decoded path. The most recently added matching route wins; adding the same method and
    // pattern again replaces the route and restarts its script.
    // The script's replies are used in turn; the last one repeats.
    void route(const std::string& method, const std::string& pattern, std::vector<Reply> script);
    void route(const std::string& method, const std::string& pattern, Reply reply);
    void routeRaw(const std::string& method, const std::string& pattern, RawHandler handler);
    // Requests no route matches; default: 404 with an empty body.
    void setFallbackHandler(RawHandler handler);
    // How many requests a route has answered (0 for an unknown route).
    size_t timesServed(const std::string& method, const std::string& pattern) const;

    // Recording.
    std::vector<RecordedRequest> requests() const;
    size_t requestCount() const;
    // Requests whose decoded path is `path`.
    std::vector<RecordedRequest> requestsTo(const std::string& path) const;
    // Waits until at least `count` requests were recorded; false on timeout.
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Waits until `condition` holds for the recorded requests; false on timeout.
    bool waitUntil(const std::function<bool(const std::vector<RecordedRequest>&)>& condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void clearRequests();

    // Stops serving: releases held answers (their connections are dropped), closes connections and
    // joins the threads. Idempotent.
    void stop();

    // For raw handlers. answer() plays a reply (delay, hold, drop, stream, gzip, ranges) into `res`.
    void answer(const RecordedRequest& recorded, const httplib::Request& req, httplib::Response& res, Reply reply);
    // Closes the request's connection at once; the client sees a connection error, not a status.
    // False if the connection's socket could not be found (then use failAnswer()).
    static bool dropConnection(const httplib::Request& req);
    // Drops the connection, or failing that sends a status whose body never comes: either way the
    // client's transfer fails.
    static void failAnswer(const httplib::Request& req, httplib::Response& res);
    // Real-time wait cut short by stop(); false when stopping.
    bool pause(std::chrono::milliseconds delay);
    // Waits for `gate` (cut short by stop()); false when stopping.
    bool waitForGate(const std::shared_ptr<Gate>& gate);
    bool isStopping() const { return stopping_.load(); }

private:
    struct Route;
    struct Connection {
        int fd;
        int remotePort;
        bool operator<(const Connection& o) const { return fd < o.fd || (fd == o.fd && remotePort < o.remotePort); }
    };

    void start(Options options);
    void handle(const httplib::Request& req, httplib::Response& res);
    bool handleRejected(const httplib::Request& req, httplib::Response& res);
    RecordedRequest record(const httplib::Request& req);
    void rememberConnection(const httplib::Request& req);
    void closeConnections();

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    bool secure_ = false;
    bool record_ = true;
    std::string stapledOCSPResponse_;  // read by the TLS status callback while the server runs
    std::atomic<bool> stopping_{false};
    bool stopped_ = false;

    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable recordedChanged_;
    std::condition_variable stopRequested_;
    std::vector<std::shared_ptr<Route>> routes_;
    RawHandler fallback_;
    std::vector<RecordedRequest> requests_;
    size_t nextSequence_ = 0;
    size_t unrecorded_ = 0;  // requests answered while recording is off
    std::set<Connection> connections_;
    std::multiset<std::shared_ptr<Gate>> waitingGates_;
};

}  // namespace tesmar_demo
