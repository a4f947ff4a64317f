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
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
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

// "host:port", "[v6]:port", or (with a default port) "host" / "[v6]".
std::optional<HostPort> parseAuthority(std::string_view authority, std::optional<uint16_t> defaultPort) {
    HostPort result;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        result.host = std::string(authority.substr(1, close - 1));
        rest = authority.substr(close + 1);
    } else {
        auto colon = authority.rfind(':');
        result.host = std::string(authority.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view{} : authority.substr(colon);
    }
    if (result.host.empty()) return std::nullopt;
    for (char c : result.host)
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '\x7f') return std::nullopt;
    if (rest.empty()) {
        if (!defaultPort) return std::nullopt;
        result.port = *defaultPort;
    } else {
        if (rest.front() != ':') return std::nullopt;
        auto port = parsePort(rest.substr(1));
        if (!port) return std::nullopt;
        result.port = *port;
    }
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

struct RequestHead {
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::string> headerLines;  // "Name: value", as sent
};

std::optional<RequestHead> parseHead(std::string_view head) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < head.size()) {
        auto end = head.find("\r\n", start);
        if (end == std::string_view::npos) end = head.size();
        lines.push_back(head.substr(start, end - start));
        start = end + 2;
    }
    if (lines.empty()) return std::nullopt;
    for (auto line : lines)
        for (char c : line)
            if (c == '\r' || c == '\n' || c == '\0') return std::nullopt;  // no smuggled line breaks

    RequestHead result;
    std::string_view requestLine = lines.front();
    auto firstSpace = requestLine.find(' ');
    auto lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace) return std::nullopt;
    result.method = std::string(requestLine.substr(0, firstSpace));
    result.target = std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1));
    result.version = std::string(requestLine.substr(lastSpace + 1));
    if (result.method.empty() || result.target.empty() || result.target.find(' ') != std::string::npos ||
        result.version.rfind("HTTP/1.", 0) != 0)
        return std::nullopt;
    for (size_t i = 1; i < lines.size(); ++i) {
        auto line = lines[i];
        if (line.empty()) continue;
        auto colon = line.find(':');
        // Folded continuation lines and nameless fields are refused rather than guessed at.
        if (colon == 0 || colon == std::string_view::npos || line.front() == ' ' || line.front() == '\t')
            return std::nullopt;
        result.headerLines.emplace_back(line);
    }
    return result;
}

std::string_view headerName(std::string_view line) { return trimmingHTTPWhitespace(line.substr(0, line.find(':'))); }

bool isHopByHop(std::string_view name) {
    for (std::string_view hop :
         {"connection", "proxy-connection", "keep-alive", "proxy-authorization", "te", "trailer", "upgrade"})
        if (equalsIgnoringASCIICase(name, hop)) return true;
    return false;
}

// One direction of a tunnel: bytes read from `from` wait in the buffer until `to` takes them.
struct Direction {
    int from;
    int to;
    std::vector<char> buffer;
    size_t begin = 0;
    size_t end = 0;
    bool readClosed = false;  // `from` said end of stream (or failed)
    bool writeShut = false;   // and that end was passed on to `to`

    bool hasData() const { return end > begin; }
    bool hasRoom() const { return end < buffer.size(); }
    bool finished() const { return writeShut; }
};

constexpr size_t kRelayBufferBytes = 64 * 1024;

// Relays both ways until both sides closed (or one failed), or stopping. `clientToServer` holds bytes the
// client sent past its request head. With `endWhenServerCloses`, the relay ends once the server's
// answer is passed on (plain HTTP: one request per connection).
void relay(int client, int server, std::string clientToServer, int wakeFd, bool endWhenServerCloses) {
    Direction up{client, server, std::vector<char>(std::max(kRelayBufferBytes, clientToServer.size()))};
    Direction down{server, client, std::vector<char>(kRelayBufferBytes)};
    std::copy(clientToServer.begin(), clientToServer.end(), up.buffer.begin());
    up.end = clientToServer.size();
    Direction* directions[2] = {&up, &down};

    for (;;) {
        for (Direction* d : directions) {
            if (d->readClosed && !d->hasData() && !d->writeShut) {
                ::shutdown(d->to, SHUT_WR);
                d->writeShut = true;
            }
        }
        if (up.finished() && down.finished()) return;
        if (endWhenServerCloses && down.finished()) return;

        short clientEvents = 0, serverEvents = 0;
        if (!up.readClosed && up.hasRoom()) clientEvents |= POLLIN;
        if (up.hasData()) serverEvents |= POLLOUT;
        if (!down.readClosed && down.hasRoom()) serverEvents |= POLLIN;
        if (down.hasData()) clientEvents |= POLLOUT;
        // A socket with nothing to wait for stays out of the poll: a hung-up one would report at once, forever.
        pollfd fds[3] = {{clientEvents ? client : -1, clientEvents, 0},
                         {serverEvents ? server : -1, serverEvents, 0},
                         {wakeFd, POLLIN, 0}};
        int n = ::poll(fds, 3, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[2].revents) return;
        if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) return;  // reset: nothing more will pass

        for (Direction* d : directions) {
            const pollfd& in = fds[d->from == client ? 0 : 1];
            const pollfd& out = fds[d->to == client ? 0 : 1];
            if (!d->readClosed && d->hasRoom() && (in.revents & (POLLIN | POLLHUP | POLLERR))) {
                ssize_t got = ::recv(d->from, d->buffer.data() + d->end, d->buffer.size() - d->end, 0);
                if (got > 0)
                    d->end += static_cast<size_t>(got);
                else if (got == 0)
                    d->readClosed = true;
                else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    return;  // reset: the other side learns it when its socket closes
            }
            if (d->hasData() && (out.revents & (POLLOUT | POLLHUP | POLLERR))) {
                ssize_t sent = ::send(d->to, d->buffer.data() + d->begin, d->end - d->begin, MSG_NOSIGNAL);
                if (sent > 0)
                    d->begin += static_cast<size_t>(sent);
                else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    return;
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
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents) break;
        reapFinished(false);
        Socket client(::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!client.valid()) {
            // Out of descriptors: wait a little (or for stop) rather than spin on a listener that stays ready.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                pollfd wake{wakeRead_, POLLIN, 0};
                ::poll(&wake, 1, 100);
            }
            continue;
        }
        if (connections_.size() >= kMaxConnections) continue;  // closes it
        auto connection = std::make_unique<Connection>();
        connection->client = std::move(client);
        Connection* raw = connection.get();
        try {
            raw->thread = std::thread([this, raw] {
                serve(*raw);
                raw->client.reset();
                raw->done = true;
            });
        } catch (const std::system_error&) {
            continue;  // no thread to serve it: the client socket closes with `connection`
        }
        connections_.push_back(std::move(connection));
    }
    reapFinished(true);
}

bool ConnectProxy::authorized(const std::vector<std::string>& headerLines) const {
    const std::string expected = username_ + ":" + password_;
    for (const auto& line : headerLines) {
        if (!equalsIgnoringASCIICase(headerName(line), "proxy-authorization")) continue;
        auto value = trimmingHTTPWhitespace(std::string_view(line).substr(line.find(':') + 1));
        auto space = value.find(' ');
        if (space == std::string_view::npos || !equalsIgnoringASCIICase(value.substr(0, space), "basic")) continue;
        auto given = base64Decoded(trimmingHTTPWhitespace(value.substr(space + 1)));
        // The length is no secret; the bytes are compared in full whatever they hold.
        if (given && given->size() == expected.size() &&
            CRYPTO_memcmp(given->data(), expected.data(), expected.size()) == 0)
            return true;
    }
    return false;
}

void ConnectProxy::serve(Connection& connection) {
    const int client = connection.client.get();
    auto reply = [&](std::string_view statusLine) {
        sendAll(client, std::string(statusLine) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", wakeRead_);
    };

    // The request head, never more than kMaxHeaderBytes of it.
    std::string received;
    size_t headEnd = std::string::npos;
    auto deadline = Clock::now() + std::chrono::milliseconds(kHeaderTimeoutMs);
    while (headEnd == std::string::npos) {
        if (received.size() >= kMaxHeaderBytes + 4) {
            reply("HTTP/1.1 431 Request Header Fields Too Large");
            return;
        }
        if (waitFor(client, POLLIN, wakeRead_, deadline) != 1) return;
        char chunk[8192];
        size_t room = std::min(sizeof chunk, kMaxHeaderBytes + 4 - received.size());
        ssize_t got = ::recv(client, chunk, room, 0);
        if (got == 0) return;
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return;
        }
        size_t searchFrom = received.size() < 3 ? 0 : received.size() - 3;
        received.append(chunk, static_cast<size_t>(got));
        headEnd = received.find("\r\n\r\n", searchFrom);
    }
    if (headEnd > kMaxHeaderBytes) {
        reply("HTTP/1.1 431 Request Header Fields Too Large");
        return;
    }
    std::string rest = received.substr(headEnd + 4);
    auto head = parseHead(std::string_view(received).substr(0, headEnd));
    if (!head) {
        reply("HTTP/1.1 400 Bad Request");
        return;
    }
    if (!authorized(head->headerLines)) {
        reply(std::string("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"") + kRealm +
              "\"");
        return;
    }

    std::optional<HostPort> target;
    std::string forwarded;  // plain HTTP: the request head as the server gets it
    const bool tunnel = head->method == "CONNECT";
    if (tunnel) {
        target = parseAuthority(head->target, std::nullopt);
    } else if (hasPrefixIgnoringASCIICase(head->target, "http://")) {
        std::string_view url = std::string_view(head->target).substr(7);
        auto pathStart = url.find_first_of("/?#");
        std::string_view authority = url.substr(0, pathStart);
        std::string path = pathStart == std::string_view::npos ? "/" : std::string(url.substr(pathStart));
        if (path.front() == '?') path.insert(0, "/");
        if (auto hash = path.find('#'); hash != std::string::npos) path.erase(hash);
        if (authority.find('@') == std::string_view::npos) target = parseAuthority(authority, 80);
        if (target) {
            forwarded = head->method + " " + path + " " + head->version + "\r\n";
            bool hasHost = false;
            for (const auto& line : head->headerLines) {
                auto name = headerName(line);
                if (isHopByHop(name)) continue;
                hasHost = hasHost || equalsIgnoringASCIICase(name, "host");
                forwarded += line + "\r\n";
            }
            if (!hasHost) forwarded += "Host: " + std::string(authority) + "\r\n";
            forwarded += "Connection: close\r\n\r\n";
        }
    } else {
        reply("HTTP/1.1 400 Bad Request");
        return;
    }
    if (!target) {
        reply("HTTP/1.1 400 Bad Request");
        return;
    }

    // Mapped hosts go where the platform maps them; host names compare without regard to case. Any other
    // host is reached on a web port only: the client sees "cannot connect" for the rest.
    HostPort destination = *target;
    auto mapping = connectTo_.find(target->key());
    if (mapping == connectTo_.end()) mapping = connectTo_.find(lowercasedASCII(target->key()));
    if (mapping != connectTo_.end()) {
        auto mapped = parseAuthority(mapping->second, std::nullopt);
        if (!mapped) return;  // a broken mapping cannot be reached
        destination = *mapped;
    } else if (std::find(std::begin(kWebPorts), std::end(kWebPorts), target->port) == std::end(kWebPorts)) {
        return;
    }
    if (tunnel && check_) {
        auto once = checkOnce(lowercasedASCII(target->key()));
        // The others wait here holding no connection: a server that shakes hands with one client at a time would
        // wait on theirs while the check's connection waits on it.
        dispatch::MutexLock lock(once->mutex);
        if (!once->done && !stopping_) {
            once->done = true;
            Socket checked = connectTo(destination, wakeRead_);
            if (!checked.valid()) return;
            checkCertificate(target->host, checked.get());
        }
    }
    Socket server = connectTo(destination, wakeRead_);
    if (!server.valid()) return;  // closing without an answer is how the engine learns "cannot connect"

    if (tunnel) {
        if (!sendAll(client, "HTTP/1.1 200 Connection Established\r\n\r\n", wakeRead_)) return;
        relay(client, server.get(), std::move(rest), wakeRead_, false);
    } else {
        relay(client, server.get(), forwarded + rest, wakeRead_, true);
    }
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
