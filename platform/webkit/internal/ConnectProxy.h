#pragma once
// Internal: a small HTTP proxy on loopback for the web engine's own network stack, so the engine reaches
// the hosts the platform maps (PlatformConfig's connect-to) like URL loading does.
//
// Only its engine may use it, or any local process could reach anything through it: every request must
// carry "Proxy-Authorization: Basic" with the credential made for this proxy (random, never logged,
// compared in constant time), or it gets 407 with "Proxy-Authenticate: Basic". Hosts that are not mapped
// are reached on the ports web pages use (kWebPorts) only.
//
// It takes two kinds of request, one per client connection:
//   CONNECT host:port HTTP/1.1     a tunnel to host:port ("200 Connection Established", then raw bytes);
//   GET http://host[:port]/p ...   an absolute-form plain-HTTP request, forwarded in origin form with
//                                  "Connection: close", the answer relayed back until the server closes.
// host:port is looked up in `connectTo` ("host:port" -> "127.0.0.1:port"); an unlisted one is resolved and
// connected normally. A target it may not reach (an unlisted one off the web ports) or cannot (refused,
// unresolvable, or past the connect time-out) closes the client connection at once without an answer, so
// the engine reports "cannot connect" rather than showing a proxy's error page. A request head larger than
// kMaxHeaderBytes gets 431, a malformed one 400, one not complete within the header time-out is closed; none of them
// can grow memory.
//
// With a CertificateCheck, the first tunnel to each host:port waits while the proxy shakes hands with its server
// itself (TLS, judging nothing, sending nothing after) and hands the chain the server presented to the check, so
// that the engine can be told to accept it before its own handshake; the tunnel then opens on a new connection.
// Other tunnels to the same host:port wait for that. A handshake that does not finish, or a check that does not
// call `ready`, within kCertificateCheckTimeoutMs lets the tunnel open without it.
//
// Threads: one accepting thread, and one thread per client connection (relaying both directions with
// poll). Every socket is close-on-exec, so processes the host starts do not inherit them. stop() (and the
// destructor) closes every connection, open tunnels included, and joins every thread; a connection still
// resolving a host name finishes that look-up first. Public methods are thread-safe.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Value.h"

namespace platform::webkit::webkit_detail {

class ConnectProxy {
public:
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;
    static constexpr int kConnectTimeoutMs = 15000;
    static constexpr int kHeaderTimeoutMs = 30000;
    static constexpr size_t kMaxConnections = 512;  // beyond this, new clients are closed at once
    static constexpr uint16_t kWebPorts[] = {80, 443};
    static constexpr int kCertificateCheckTimeoutMs = 5000;

    // Called on a connection's thread with the host a tunnel is for and the certificates its server presented
    // (DER, leaf first). `ready` may be called from any thread, and at any time (later than the wait too).
    using CertificateCheck =
        std::function<void(const std::string& host, std::vector<Bytes> chain, std::function<void()> ready)>;

    // Listens on 127.0.0.1 (a free port) and starts accepting. Throws std::runtime_error when it cannot
    // listen or the system has no random source for the credential.
    explicit ConnectProxy(std::map<std::string, std::string> connectTo, CertificateCheck check = nullptr);
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    uint16_t port() const { return port_; }
    // The realm of the proxy's own 407, which tells it from a site's 407 relayed through it.
    static constexpr const char* kRealm = "engine";
    // The credential the engine answers a 407 with.
    const std::string& username() const { return username_; }
    const std::string& password() const { return password_; }
    // Closes the listening socket and every connection, and joins the threads. Idempotent.
    void stop();

private:
    struct Connection;
    struct CheckOnce {
        dispatch::Mutex mutex;
        bool done GUARDED_BY(mutex) = false;
    };

    void acceptLoop();
    void serve(Connection& connection);
    std::shared_ptr<CheckOnce> checkOnce(const std::string& key);  // of "host:port"
    // Shakes hands with the server connected on `server` and runs the check on what it presents for `host`.
    void checkCertificate(const std::string& host, int server);
    void reapFinished(bool all) REQUIRES(acceptor_);
    bool authorized(const std::vector<std::string>& headerLines) const;

    std::map<std::string, std::string> connectTo_;
    CertificateCheck check_;
    std::string username_;
    std::string password_;
    int listenFd_ = -1;
    int wakeRead_ = -1;  // readable once stop() began: every poll watches it
    int wakeWrite_ = -1;
    uint16_t port_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};

    dispatch::Mutex stopMutex_;  // serialises stop()
    bool stopped_ GUARDED_BY(stopMutex_) = false;

    dispatch::Mutex checksMutex_;
    std::map<std::string, std::shared_ptr<CheckOnce>> checks_ GUARDED_BY(checksMutex_);  // by host:port

    // The accepting thread's own: its loop reaps them, and joins every one before it ends.
    dispatch::ThreadChecker acceptor_{"the proxy's connections"};
    std::list<std::unique_ptr<Connection>> connections_ GUARDED_BY(acceptor_);
};

}  // namespace platform::webkit::webkit_detail
