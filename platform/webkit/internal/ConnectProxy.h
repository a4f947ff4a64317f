#pragma once
// Internal: a small SOCKS5 proxy on loopback for the web engine's own network stack, so the engine reaches
// the hosts the platform maps (PlatformConfig's connect-to) like URL loading does.
//
// Only its engine may use it, or any local process could reach anything through it: a client must
// authenticate with username and password (the only method offered), the credential made for this proxy
// (random, never logged, compared in constant time), or it is refused and closed. The credential travels
// to the proxy only, before any byte of a site's: a site never sees it, and a site's own 407 is just
// bytes in its tunnel.
//
// Any local process can connect, so one that has not signed in costs little and cannot crowd out the
// engine: the accepting thread itself takes each client through its greeting and authentication (no thread
// of its own, under a kilobyte each), which must be over within kAuthenticationTimeoutMs. At most
// kMaxUnauthenticated wait at once; a newcomer makes room by closing one (a refused one, else one that has
// said nothing, else the oldest), so silent clients, however many, cannot push out the engine, which speaks
// as soon as it connects. Only a client signed in takes one of the kMaxConnections places, and a thread.
//
// Each client connection asks for one tunnel (CONNECT to a host name, IPv4 or IPv6 address, and port),
// then carries raw bytes both ways: what a side sent before it ended or reset reaches the other side, then
// the end of stream (never a reset right behind it, which could discard the bytes before they are read).
// host:port is looked up in `connectTo` ("host:port" -> "127.0.0.1:port"); an unlisted one is resolved
// here and connected normally, on the ports web pages use (kWebPorts) only. A target it may not or cannot
// reach (refused, unresolvable, past the connect time-out) gets a refusal, so the engine reports "cannot
// connect". Any other command or address type is refused, a malformed request is closed, and one not
// complete within its time-out is closed; none of them can grow memory. Such a client is closed in order:
// the proxy ends its side, then reads and drops what the client still sends until it closes (kCloseLingerMs
// at most), since closing on unread bytes resets the connection, and a reset can discard the refusal before
// the client reads it.
//
// With a CertificateCheck, the first TLS tunnel to each host:port (the client's first byte opens a TLS
// handshake) waits while the proxy shakes hands with its server itself (judging nothing, sending nothing
// after) and hands the chain the server presented to the check, so that the engine can be told to accept
// it before its own handshake reaches the server; the client's handshake then goes on a new connection.
// Other TLS tunnels to the same host:port wait for that. A handshake that does not finish, or a check that
// does not call `ready`, within kCertificateCheckTimeoutMs lets the tunnel open without it.
//
// Threads: one accepting thread, which also serves the clients not signed in, and one thread per client
// signed in (relaying both directions with poll). Every socket is close-on-exec, so processes the host
// starts do not inherit them. stop() (and the destructor) closes every connection, open tunnels included,
// and joins every thread; a connection still resolving a host name finishes that look-up first. Public
// methods are thread-safe.
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
    static constexpr int kConnectTimeoutMs = 15000;
    static constexpr int kAuthenticationTimeoutMs = 2000;  // from connecting to signed in
    static constexpr int kHandshakeTimeoutMs = 30000;      // then for the tunnel's request
    static constexpr size_t kMaxUnauthenticated = 128;
    static constexpr size_t kMaxConnections = 512;  // signed in; beyond this, new ones are refused
    static constexpr uint16_t kWebPorts[] = {80, 443};
    static constexpr int kCertificateCheckTimeoutMs = 5000;
    static constexpr int kCloseLingerMs = 2000;

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
    // The credential the engine authenticates with.
    const std::string& username() const { return username_; }
    const std::string& password() const { return password_; }
    // Closes the listening socket and every connection, and joins the threads. Idempotent.
    void stop();

private:
    struct Connection;
    struct Pending;
    struct CheckOnce {
        dispatch::Mutex mutex;          // held through the check: the others wait for it
        std::atomic<bool> done{false};  // the check is over (set under `mutex`)
    };

    void acceptLoop();
    void acceptOne() REQUIRES(acceptor_);
    // Takes a client that has not signed in as far as what it sent allows; false once done with it (closed,
    // or signed in and handed to a thread of its own).
    bool converse(Pending& pending) REQUIRES(acceptor_);
    void startConnection(Pending& pending) REQUIRES(acceptor_);
    void serve(Connection& connection);
    std::shared_ptr<CheckOnce> checkOnce(const std::string& key);  // of "host:port"
    // Shakes hands with the server connected on `server` and runs the check on what it presents for `host`.
    void checkCertificate(const std::string& host, int server);
    void reapFinished(bool all) REQUIRES(acceptor_);
    bool authorized(const std::string& username, const std::string& password) const;

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
    std::list<std::unique_ptr<Pending>> pending_ GUARDED_BY(acceptor_);  // oldest first
};

}  // namespace platform::webkit::webkit_detail
