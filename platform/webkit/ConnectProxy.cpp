#include "platform/webkit/internal/ConnectProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/UUID.h"

namespace platform::webkit::webkit_detail {

namespace {

using Clock = std::chrono::steady_clock;

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { reset(); }
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits for `events` on `fd`, or for the stop signal. 1: ready, 0: timed out, -1: stopping or error.
int waitFor(int fd, short events, int wakeFd, Clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        int n = ::poll(fds, 2, millisecondsUntil(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents) return -1;
        if (n == 0) return 0;
        return 1;
    }
}

bool sendAll(int fd, std::string_view data, int wakeFd) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ConnectProxy::kConnectTimeoutMs);
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (waitFor(fd, POLLOUT, wakeFd, deadline) != 1) return false;
        } else {
            return false;
        }
    }
    return true;
}

struct HostPort {
    std::string host;  // without brackets for IPv6 literals
    uint16_t port = 0;
    std::string key() const {
        std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        return h + ":" + std::to_string(port);
    }
};

std::optional<uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

// A host name as a tunnel's target: printable, and nothing that would change what it names.
bool validHostName(std::string_view host) {
    if (host.empty()) return false;
    for (char c : host)
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '\x7f') return false;
    return true;
}

// "host:port" or "[v6]:port".
std::optional<HostPort> parseAuthority(std::string_view authority) {
    HostPort result;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        result.host = std::string(authority.substr(1, close - 1));
        rest = authority.substr(close + 1);
    } else {
        auto colon = authority.rfind(':');
        if (colon == std::string_view::npos) return std::nullopt;
        result.host = std::string(authority.substr(0, colon));
        rest = authority.substr(colon);
    }
    if (!validHostName(result.host) || rest.empty() || rest.front() != ':') return std::nullopt;
    auto port = parsePort(rest.substr(1));
    if (!port) return std::nullopt;
    result.port = *port;
    return result;
}

// Connects to the first address of `target` that answers before the deadline; an invalid Socket when
// none does (or when stopping).
Socket connectTo(const HostPort& target, int wakeFd) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ConnectProxy::kConnectTimeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(target.port);
    if (::getaddrinfo(target.host.c_str(), service.c_str(), &hints, &found) != 0 || !found) return {};
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    for (addrinfo* a = found; a; a = a->ai_next) {
        Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!s.valid()) continue;
        if (::connect(s.get(), a->ai_addr, a->ai_addrlen) == 0) return s;
        if (errno != EINPROGRESS) continue;
        if (waitFor(s.get(), POLLOUT, wakeFd, deadline) != 1) return {};
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) return s;
    }
    return {};
}

// The certificates the server on `fd` presents for `host` (DER, leaf first): a TLS handshake that judges
// nothing and sends nothing after it. Empty when it does not finish before the deadline.
std::vector<Bytes> presentedChain(int fd, const std::string& host, int wakeFd, Clock::time_point deadline) {
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    std::unique_ptr<SSL, void (*)(SSL*)> ssl(context ? SSL_new(context.get()) : nullptr, SSL_free);
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return {};
    in6_addr address;
    bool literal =
        ::inet_pton(AF_INET, host.c_str(), &address) == 1 || ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
    if (!literal && SSL_set_tlsext_host_name(ssl.get(), host.c_str()) != 1) return {};
    for (int result; (result = SSL_connect(ssl.get())) != 1;) {
        int error = SSL_get_error(ssl.get(), result);
        short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (!events || waitFor(fd, events, wakeFd, deadline) != 1) return {};
    }
    std::vector<Bytes> chain;
    STACK_OF(X509)* presented = SSL_get_peer_cert_chain(ssl.get());
    for (int i = 0; presented && i < sk_X509_num(presented) && chain.size() < 16; ++i) {
        unsigned char* der = nullptr;
        int length = i2d_X509(sk_X509_value(presented, i), &der);
        if (length > 0) chain.emplace_back(der, der + length);
        OPENSSL_free(der);
    }
    SSL_shutdown(ssl.get());
    return chain;
}

// Reads exactly `size` bytes (never more: what follows is the next message's); nothing when the client
// closes, fails, or the deadline passes first, or when stopping.
std::optional<std::string> readExactly(int fd, size_t size, int wakeFd, Clock::time_point deadline) {
    std::string out(size, '\0');
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, out.data() + got, size - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            return std::nullopt;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            if (waitFor(fd, POLLIN, wakeFd, deadline) != 1) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

// Reads and drops what the peer on `fd` has sent so far (64 KiB at most); false once it has ended or failed.
bool dropWaiting(int fd) {
    char dropped[4096];
    for (int i = 0; i < 16; ++i) {
        ssize_t n = ::recv(fd, dropped, sizeof dropped, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
        if (n <= 0) return false;
    }
    return true;
}

// Closes a client that gets no tunnel so that what the proxy said reaches it: a close with unread bytes
// would reset the connection, dropping the answer if it is still unsent or unread. So end this side, then read
// and drop what the client still sends until it closes, the time is up, or stopping.
void closeInOrder(Socket& client, int wakeFd) {
    ::shutdown(client.get(), SHUT_WR);
    auto deadline = Clock::now() + std::chrono::milliseconds(ConnectProxy::kCloseLingerMs);
    while (waitFor(client.get(), POLLIN, wakeFd, deadline) == 1 && dropWaiting(client.get())) {
    }
    client.reset();
}

// How long a greeting (methods after their count) or an authentication (username, then password, each after
// its length) is, as far as the bytes that have arrived tell.
size_t messageSize(const std::string& message, bool authentication) {
    if (message.size() < 2) return 2;
    const size_t size = 2 + static_cast<uint8_t>(message[1]);
    if (!authentication) return size;
    if (message.size() <= size) return size + 1;
    return size + 1 + static_cast<uint8_t>(message[size]);
}

// One direction of a tunnel: bytes read from `from` wait in the buffer until `to` takes them.
struct Direction {
    int from;
    int to;
    std::vector<char> buffer;
    size_t begin = 0;
    size_t end = 0;
    bool readClosed = false;  // `from` said end of stream, or failed after all it had sent was read
    bool writeShut = false;   // and that end was passed on to `to`
    bool dropping = false;    // `to` failed: what `from` still sends is read and dropped

    bool hasData() const { return end > begin; }
    bool hasRoom() const { return end < buffer.size(); }
    bool finished() const { return writeShut || (dropping && readClosed); }
    void drop() {
        dropping = true;
        begin = end = 0;
    }
};

constexpr size_t kRelayBufferBytes = 64 * 1024;

constexpr uint8_t kSocksVersion = 5;
constexpr uint8_t kMethodPassword = 2;
constexpr uint8_t kNoAcceptableMethod = 0xff;
constexpr uint8_t kPasswordVersion = 1;
constexpr uint8_t kCommandConnect = 1;
constexpr uint8_t kAddressIPv4 = 1;
constexpr uint8_t kAddressDomain = 3;
constexpr uint8_t kAddressIPv6 = 4;
constexpr uint8_t kReplySucceeded = 0;
constexpr uint8_t kReplyGeneralFailure = 1;
constexpr uint8_t kReplyNotAllowed = 2;
constexpr uint8_t kReplyHostUnreachable = 4;
constexpr uint8_t kReplyCommandNotSupported = 7;
constexpr uint8_t kReplyAddressTypeNotSupported = 8;
constexpr char kTLSHandshakeRecord = 0x16;

// Relays both ways until both sides have ended, or stopping. What a side sent before it ended or reset still
// reaches the other, then the end of stream. Nothing more can reach a side that failed: what the other still
// sends it is read and dropped, since a close on unread bytes resets the connection and can discard an
// answer not read yet (a server answering a large upload early, then resetting, is the common case). That
// goes on until the other side ends too, or for kCloseLingerMs once everything it is owed has been sent.
void relay(int client, int server, int wakeFd) {
    Direction up{client, server, std::vector<char>(kRelayBufferBytes)};
    Direction down{server, client, std::vector<char>(kRelayBufferBytes)};
    Direction* directions[2] = {&up, &down};
    std::optional<Clock::time_point> lingerUntil;

    for (;;) {
        for (Direction* d : directions) {
            if (d->readClosed && !d->hasData() && !d->writeShut && !d->dropping) {
                ::shutdown(d->to, SHUT_WR);
                d->writeShut = true;
            }
        }
        if (up.finished() && down.finished()) return;
        if (!lingerUntil && ((up.finished() && down.dropping) || (down.finished() && up.dropping)))
            lingerUntil = Clock::now() + std::chrono::milliseconds(ConnectProxy::kCloseLingerMs);

        short clientEvents = 0, serverEvents = 0;
        if (!up.readClosed && up.hasRoom()) clientEvents |= POLLIN;
        if (up.hasData()) serverEvents |= POLLOUT;
        if (!down.readClosed && down.hasRoom()) serverEvents |= POLLIN;
        if (down.hasData()) clientEvents |= POLLOUT;
        // A socket with nothing to wait for stays out of the poll: a hung-up one would report at once, forever.
        pollfd fds[3] = {{clientEvents ? client : -1, clientEvents, 0},
                         {serverEvents ? server : -1, serverEvents, 0},
                         {wakeFd, POLLIN, 0}};
        int n = ::poll(fds, 3, lingerUntil ? millisecondsUntil(*lingerUntil) : -1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || fds[2].revents) return;  // failed, stopping, or lingered long enough

        for (Direction* d : directions) {
            Direction* back = d == &up ? &down : &up;
            const pollfd& in = fds[d->from == client ? 0 : 1];
            const pollfd& out = fds[d->to == client ? 0 : 1];
            // An error shows only once what arrived before it has been read.
            if (!d->readClosed && d->hasRoom() && (in.revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t got = ::recv(d->from, d->buffer.data() + d->end, d->buffer.size() - d->end, 0);
                if (got > 0 && !d->dropping) {
                    d->end += static_cast<size_t>(got);
                } else if (got == 0) {
                    d->readClosed = true;
                } else if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    d->readClosed = true;
                    back->drop();
                }
            }
            if (d->hasData() && (out.revents & (POLLOUT | POLLHUP | POLLERR))) {
                ssize_t sent = ::send(d->to, d->buffer.data() + d->begin, d->end - d->begin, MSG_NOSIGNAL);
                if (sent > 0)
                    d->begin += static_cast<size_t>(sent);
                else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    d->drop();  // what `to` sent before it failed may still wait to be read
                if (d->begin == d->end) d->begin = d->end = 0;
            }
        }
    }
}

}  // namespace

struct ConnectProxy::Connection {
    Socket client;
    std::thread thread;
    std::atomic<bool> done{false};
    bool tunnelled = false;  // the connection's thread's own
};

// A client not signed in yet: what it has sent of its greeting, then of its authentication (exactly those
// bytes: its request follows), or, once refused, how long its close in order waits.
struct ConnectProxy::Pending {
    Socket client;
    Clock::time_point deadline;
    std::string greeting;        // version, method count, methods
    std::string authentication;  // version, username length, username, password length, password
    bool greeted = false;        // the greeting was answered
    bool refused = false;        // its side is ended; what it still sends is dropped until it closes
};

ConnectProxy::ConnectProxy(std::map<std::string, std::string> connectTo, CertificateCheck check)
    : connectTo_(std::move(connectTo)), check_(std::move(check)), username_("engine"),
      password_(UUID::random().uuidString()) {
    Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.valid()) throw std::runtime_error("connect proxy: cannot make a socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), SOMAXCONN) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("connect proxy: cannot listen on 127.0.0.1");
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) throw std::runtime_error("connect proxy: cannot make a pipe");
    port_ = ntohs(address.sin_port);
    listenFd_ = listener.release();
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    try {
        acceptThread_ = std::thread([this] { acceptLoop(); });
    } catch (...) {
        ::close(listenFd_);
        ::close(wakeRead_);
        ::close(wakeWrite_);
        throw;
    }
}

ConnectProxy::~ConnectProxy() { stop(); }

void ConnectProxy::stop() {
    dispatch::MutexLock lock(stopMutex_);
    if (stopped_) return;
    stopped_ = true;
    stopping_ = true;
    char byte = 1;
    while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
    acceptThread_.join();  // the accepting thread joins the connections' threads before it ends
    ::close(listenFd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    listenFd_ = wakeRead_ = wakeWrite_ = -1;
}

void ConnectProxy::reapFinished(bool all) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (all || (*it)->done.load()) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void ConnectProxy::acceptLoop() {
    acceptor_.assertOnThread();
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.assign({{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}});
        int timeout = -1;
        for (const auto& pending : pending_) {
            fds.push_back({pending->client.get(), POLLIN, 0});
            const int left = millisecondsUntil(pending->deadline);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents) break;
        reapFinished(false);
        // Those that spoke go on before anyone new comes in; those whose time is up are closed.
        size_t i = 2;
        for (auto it = pending_.begin(); it != pending_.end(); ++i) {
            const bool keep = fds[i].revents ? converse(**it) : Clock::now() < (*it)->deadline;
            it = keep ? std::next(it) : pending_.erase(it);
        }
        if (fds[0].revents) acceptOne();
    }
    pending_.clear();
    reapFinished(true);
}

void ConnectProxy::acceptOne() {
    Socket client(::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client.valid()) {
        // Out of descriptors: wait a little (or for stop) rather than spin on a listener that stays ready.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            pollfd wake{wakeRead_, POLLIN, 0};
            ::poll(&wake, 1, 100);
        }
        return;
    }
    if (pending_.size() >= kMaxUnauthenticated) {
        // Room for the newcomer: a refused client goes first, then one that has said nothing, then the oldest.
        // The engine speaks as soon as it connects, so a crowd that keeps silent cannot push it out.
        auto rank = [](const std::unique_ptr<Pending>& p) { return p->refused ? 0 : p->greeting.empty() ? 1 : 2; };
        pending_.erase(std::min_element(pending_.begin(), pending_.end(),
                                        [&](const auto& a, const auto& b) { return rank(a) < rank(b); }));
    }
    auto pending = std::make_unique<Pending>();
    pending->client = std::move(client);
    pending->deadline = Clock::now() + std::chrono::milliseconds(kAuthenticationTimeoutMs);
    pending_.push_back(std::move(pending));
}

bool ConnectProxy::converse(Pending& pending) {
    const int client = pending.client.get();
    if (pending.refused) return dropWaiting(client) && Clock::now() < pending.deadline;
    // A fresh connection takes a few bytes at once; one that does not is not worth waiting for.
    auto send = [&](std::initializer_list<uint8_t> bytes) {
        const std::string text(bytes.begin(), bytes.end());
        return ::send(client, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
               static_cast<ssize_t>(text.size());
    };
    auto refuse = [&] {
        ::shutdown(client, SHUT_WR);
        pending.refused = true;
        pending.deadline = Clock::now() + std::chrono::milliseconds(kCloseLingerMs);
        return true;
    };
    for (;;) {
        std::string& message = pending.greeted ? pending.authentication : pending.greeting;
        const uint8_t version = pending.greeted ? kPasswordVersion : kSocksVersion;
        if (!message.empty() && static_cast<uint8_t>(message[0]) != version) return refuse();
        const size_t had = message.size();
        const size_t size = messageSize(message, pending.greeted);
        if (had < size) {
            message.resize(size);
            ssize_t n = ::recv(client, message.data() + had, size - had, 0);
            message.resize(had + static_cast<size_t>(std::max<ssize_t>(n, 0)));
            if (n > 0) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return Clock::now() < pending.deadline;
            return false;  // closed or failed
        }
        if (!pending.greeted) {
            // The client's methods: the only one taken is username and password.
            if (message.find(static_cast<char>(kMethodPassword), 2) == std::string::npos) {
                send({kSocksVersion, kNoAcceptableMethod});
                return refuse();
            }
            if (!send({kSocksVersion, kMethodPassword})) return false;
            pending.greeted = true;
            continue;
        }
        const size_t usernameSize = static_cast<uint8_t>(message[1]);
        if (!authorized(message.substr(2, usernameSize), message.substr(3 + usernameSize))) {
            send({kPasswordVersion, 1});
            return refuse();
        }
        if (connections_.size() >= kMaxConnections) return refuse();
        if (send({kPasswordVersion, 0})) startConnection(pending);
        return false;
    }
}

void ConnectProxy::startConnection(Pending& pending) {
    auto connection = std::make_unique<Connection>();
    connection->client = std::move(pending.client);
    Connection* raw = connection.get();
    try {
        raw->thread = std::thread([this, raw] {
            serve(*raw);
            if (raw->tunnelled)
                raw->client.reset();
            else
                closeInOrder(raw->client, wakeRead_);
            raw->done = true;
        });
    } catch (const std::system_error&) {
        return;  // no thread to serve it: the client socket closes with `connection`
    }
    connections_.push_back(std::move(connection));
}

bool ConnectProxy::authorized(const std::string& username, const std::string& password) const {
    // The lengths are no secret; the bytes are compared in full whatever they hold.
    auto same = [](const std::string& given, const std::string& expected) {
        return given.size() == expected.size() && CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
    };
    const bool userMatches = same(username, username_);
    const bool passwordMatches = same(password, password_);  // compared even when the username is wrong
    return userMatches && passwordMatches;
}

void ConnectProxy::serve(Connection& connection) {
    const int client = connection.client.get();
    auto deadline = Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs);
    auto read = [&](size_t size) { return readExactly(client, size, wakeRead_, deadline); };
    auto byte = [](const std::string& bytes, size_t i) { return static_cast<uint8_t>(bytes[i]); };
    auto send = [&](std::initializer_list<uint8_t> bytes) {
        return sendAll(client, std::string(bytes.begin(), bytes.end()), wakeRead_);
    };
    // The address bound is nobody's business: 0.0.0.0:0.
    auto reply = [&](uint8_t code) { return send({kSocksVersion, code, 0, kAddressIPv4, 0, 0, 0, 0, 0, 0}); };

    auto request = read(4);
    if (!request || byte(*request, 0) != kSocksVersion) return;
    if (byte(*request, 1) != kCommandConnect) {
        reply(kReplyCommandNotSupported);
        return;
    }
    HostPort target;
    const uint8_t addressType = byte(*request, 3);
    if (addressType == kAddressIPv4 || addressType == kAddressIPv6) {
        const bool v4 = addressType == kAddressIPv4;
        auto address = read(v4 ? 4 : 16);
        if (!address) return;
        char text[INET6_ADDRSTRLEN];
        if (!::inet_ntop(v4 ? AF_INET : AF_INET6, address->data(), text, sizeof text)) return;
        target.host = text;
    } else if (addressType == kAddressDomain) {
        auto size = read(1);
        auto name = size ? read(byte(*size, 0)) : std::nullopt;
        if (!name) return;
        target.host = std::move(*name);
    } else {
        reply(kReplyAddressTypeNotSupported);
        return;
    }
    auto port = read(2);
    if (!port) return;
    target.port = static_cast<uint16_t>(byte(*port, 0) << 8 | byte(*port, 1));
    if (!validHostName(target.host) || target.port == 0) {
        reply(kReplyHostUnreachable);
        return;
    }

    // Mapped hosts go where the platform maps them; host names compare without regard to case. Any other
    // host is reached on a web port only: the client sees "cannot connect" for the rest.
    HostPort destination = target;
    auto mapping = connectTo_.find(target.key());
    if (mapping == connectTo_.end()) mapping = connectTo_.find(lowercasedASCII(target.key()));
    if (mapping != connectTo_.end()) {
        auto mapped = parseAuthority(mapping->second);
        if (!mapped) {
            reply(kReplyGeneralFailure);  // a broken mapping cannot be reached
            return;
        }
        destination = *mapped;
    } else if (std::find(std::begin(kWebPorts), std::end(kWebPorts), target.port) == std::end(kWebPorts)) {
        reply(kReplyNotAllowed);
        return;
    }
    Socket server = connectTo(destination, wakeRead_);
    if (!server.valid()) {
        reply(kReplyHostUnreachable);
        return;
    }
    if (!reply(kReplySucceeded)) return;

    if (check_) {
        auto once = checkOnce(lowercasedASCII(target.key()));
        // The client's handshake waits unread in its socket until the check is done.
        char first = 0;
        if (!once->done && waitFor(client, POLLIN, wakeRead_, deadline) == 1 &&
            ::recv(client, &first, 1, MSG_PEEK) == 1 && first == kTLSHandshakeRecord) {
            // The others wait holding no connection: a server that shakes hands with one client at a time
            // would wait on theirs while the check's connection waits on it.
            server.reset();
            {
                // `done` turns only once the check is over: a handshake that looked while it ran waits here too.
                dispatch::MutexLock lock(once->mutex);
                if (!once->done && !stopping_) {
                    Socket checked = connectTo(destination, wakeRead_);
                    if (checked.valid()) checkCertificate(target.host, checked.get());
                    once->done = true;
                }
            }
            server = connectTo(destination, wakeRead_);
            if (!server.valid()) return;
        }
    }
    connection.tunnelled = true;
    relay(client, server.get(), wakeRead_);
}

std::shared_ptr<ConnectProxy::CheckOnce> ConnectProxy::checkOnce(const std::string& key) {
    dispatch::MutexLock lock(checksMutex_);
    auto& once = checks_[key];
    if (!once) once = std::make_shared<CheckOnce>();
    return once;
}

void ConnectProxy::checkCertificate(const std::string& host, int server) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kCertificateCheckTimeoutMs);
    auto chain = presentedChain(server, host, wakeRead_, deadline);
    if (chain.empty()) return;
    // Told through a descriptor of its own, which lives as long as the check may still call `ready`.
    auto told = std::make_shared<Socket>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!told->valid()) return;
    check_(host, std::move(chain), [told] {
        uint64_t one = 1;
        (void)!::write(told->get(), &one, sizeof one);
    });
    waitFor(told->get(), POLLIN, wakeRead_, deadline);
}

}  // namespace platform::webkit::webkit_detail
