// The stream side of the engine: connecting through curl, then moving bytes on the socket.
#include "platform/urlsession/internal/StreamConnection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/URLError.h"
#include "platform/urlsession/internal/CurlResources.h"
#include "platform/urlsession/internal/Engine.h"
#include "platform/urlsession/internal/SocketStreams.h"

namespace platform::urlsession_detail {

namespace {

using Clock = std::chrono::steady_clock;

// Received bytes asked of the socket at a time.
constexpr size_t kReadChunk = 64 * 1024;
// Time-outs beyond this (about 30 years) are taken as none.
constexpr double kLongestTimeout = 1e9;

Error posixError(int err) { return Error::withDescription(kPOSIXErrorDomain, err, std::strerror(err)); }

Error connectionLost() { return makeURLError(URLErrorCode::NetworkConnectionLost); }

URLErrorCode codeForConnect(CURLcode c) {
    switch (c) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return URLErrorCode::CannotFindHost;
    case CURLE_OPERATION_TIMEDOUT:
        return URLErrorCode::TimedOut;
    default:
        return URLErrorCode::CannotConnectToHost;
    }
}

// The host as it stands in a URL: a name or IPv4 address as given, an IPv6 address in brackets.
// Anything else (spaces, '/', '@', ...) could make the URL name another host: refused.
std::optional<std::string> hostForURL(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || host.size() > 253) return std::nullopt;
    bool v6 = host.find(':') != std::string::npos;
    for (char c : host) {
        bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || (!v6 && c == '_') ||
                  (v6 && c == ':');
        if (!ok) return std::nullopt;
    }
    return v6 ? "[" + host + "]" : host;
}

}  // namespace

StreamDeadline streamDeadline(double timeout) {
    if (!(timeout > 0) || timeout > kLongestTimeout) return std::nullopt;
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
}

struct StreamConnection {
    enum class Phase { Waiting, Resolving, Connecting, Open };

    explicit StreamConnection(std::shared_ptr<URLSessionStreamTask> t) : task(std::move(t)) {}
    ~StreamConnection() {
        if (fd >= 0) ::close(fd);
    }
    uint64_t id() const { return task->taskIdentifier(); }
    CURL* easy() const { return connecting ? connecting->easy.get() : nullptr; }

    const std::shared_ptr<URLSessionStreamTask> task;
    Phase phase = Phase::Waiting;
    // curl's connect, until it has made the connection (its own handle: not one for the engine's pool).
    std::optional<CurlRequest> connecting;
    int fd = -1;
    int64_t sent = 0;  // bytes handed to the socket
    bool suspended = false;

    std::deque<StreamRead> reads;
    std::deque<StreamWrite> writes;
    Bytes inbound;                 // read from the socket, not yet handed to a read
    bool peerClosed = false;       // the peer's end of stream was seen
    bool readClosed = false;       // closeRead()
    bool readClosedTold = false;   // readClosedForStreamTask delivered
    bool writeCloseAsked = false;  // closeWrite(): shut down once the queued writes are out
    bool writeShut = false;
    bool captureAsked = false;
};

StreamConnections::StreamConnections(Engine& engine) : engine_(engine) {}

StreamConnections::~StreamConnections() = default;

void StreamConnections::dropAll() {
    engine_.engineThread().assertOnThread();
    connections_.clear();
}

StreamConnection* StreamConnections::find(const TaskPtr& task) {
    auto it = connections_.find(task->taskIdentifier());
    return it == connections_.end() ? nullptr : it->second.get();
}

StreamConnection& StreamConnections::entry(const TaskPtr& task) {
    auto& slot = connections_[task->taskIdentifier()];
    if (!slot) slot = std::make_unique<StreamConnection>(task);
    return *slot;
}

bool StreamConnections::hasStarted() const {
    engine_.engineThread().assertOnThread();
    for (auto& [id, c] : connections_)
        if (c->phase != StreamConnection::Phase::Waiting) return true;
    return false;
}

// An operation on a task that has already completed fails at once, with the task's error if it had one.
bool StreamConnections::refuseIfCompleted(const TaskPtr& task, const std::function<void(const Error&)>& refuse) {
    if (task->state() != URLSessionTaskState::Completed) return false;
    refuse(task->error().value_or(posixError(ENOTCONN)));
    return true;
}

// ---------------------------------------------------------------- commands

void StreamConnections::start(const TaskPtr& task) {
    engine_.engineThread().assertOnThread();
    if (task->state() == URLSessionTaskState::Completed) return;
    auto& c = entry(task);
    if (c.phase != StreamConnection::Phase::Waiting) return;
    if (!PlatformConfig::networkUp()) return finish(c, makeURLError(URLErrorCode::NotConnectedToInternet));
    if (auto service = task->netService()) return resolve(c, std::move(service));
    connect(c, task->host(), task->port());
}

// The service is looked up off the engine thread (the lookup blocks); the connection is made once it
// is known, unless the task ended meanwhile.
void StreamConnections::resolve(StreamConnection& c, std::shared_ptr<NetService> service) {
    c.phase = StreamConnection::Phase::Resolving;
    engine_.holdSession();
    double timeout = engine_.configuration().timeoutIntervalForRequest;
    std::weak_ptr<Engine> engine = engine_.weak_from_this();
    auto task = c.task;
    dispatch::DispatchQueue::global().async([engine, task, service, timeout] {
        auto failure = service->resolveWithTimeout(timeout);
        auto addresses = service->addresses();
        std::string host = addresses.empty() ? service->hostName().value_or("") : addresses.front();
        int port = service->port();
        // The command runs only while the engine does: it needs no reference of its own.
        if (auto e = engine.lock())
            e->post([raw = e.get(), task, failure, host, port] { raw->streams().resolved(task, failure, host, port); });
    });
}

void StreamConnections::resolved(const TaskPtr& task, const std::optional<Error>& failure, const std::string& host,
                                 int port) {
    engine_.engineThread().assertOnThread();
    auto* c = find(task);
    if (!c || c->phase != StreamConnection::Phase::Resolving || task->state() == URLSessionTaskState::Completed) return;
    if (failure) {
        auto error = makeURLError(URLErrorCode::CannotFindHost);
        error.userInfo.set("NSUnderlyingError",
                           Value::dictionary({{"domain", failure->domain}, {"code", failure->code}}));
        return finish(*c, std::move(error));
    }
    connect(*c, host, port);
}

void StreamConnections::connect(StreamConnection& c, const std::string& hostName, int port) {
    auto host = hostForURL(hostName);
    if (!host || port < 1 || port > 65535) return finish(c, makeURLError(URLErrorCode::BadURL));

    const auto hostPort = *host + ":" + std::to_string(port);
    CurlEasy made(curl_easy_init());
    if (!made) return finish(c, makeURLError(URLErrorCode::Unknown));
    CurlRequest& connecting = c.connecting.emplace(engine_, std::move(made), false);
    CURL* easy = connecting.easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, ("http://" + hostPort + "/").c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");  // a plain TCP connection, never through a proxy
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    double timeout = engine_.configuration().timeoutIntervalForRequest;
    if (!(timeout > 0) || timeout > 1e6) timeout = 60;
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(timeout * 1000));
    if (auto mapped = PlatformConfig::connectTarget(hostName + ":" + std::to_string(port))) {
        connecting.connectTo.append(hostPort + ":" + *mapped);
        curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connecting.connectTo.get());
    }
    if (!connecting.easy.join()) {
        c.connecting.reset();
        return finish(c, makeURLError(URLErrorCode::Unknown));
    }
    c.phase = StreamConnection::Phase::Connecting;
    engine_.holdSession();
}

void StreamConnections::setSuspended(const TaskPtr& task, bool suspended) {
    engine_.engineThread().assertOnThread();
    if (auto* c = find(task)) c->suspended = suspended;
}

void StreamConnections::cancel(const TaskPtr& task) {
    engine_.engineThread().assertOnThread();
    if (task->state() == URLSessionTaskState::Completed) return;
    finish(entry(task), makeURLError(URLErrorCode::Cancelled));
}

void StreamConnections::read(const TaskPtr& task, StreamRead op) {
    engine_.engineThread().assertOnThread();
    auto refuse = [&](const Error& e) {
        if (op.handler) engine_.deliver([h = std::move(op.handler), e] { h({}, false, e); });
    };
    if (op.maxBytes == 0 || op.minBytes > op.maxBytes) return refuse(posixError(EINVAL));
    if (refuseIfCompleted(task, refuse)) return;
    auto& c = entry(task);
    if (c.readClosed || c.captureAsked) return refuse(posixError(ENOTCONN));
    c.reads.push_back(std::move(op));
}

void StreamConnections::write(const TaskPtr& task, StreamWrite op) {
    engine_.engineThread().assertOnThread();
    auto refuse = [&](const Error& e) {
        if (op.handler) engine_.deliver([h = std::move(op.handler), e] { h(e); });
    };
    if (refuseIfCompleted(task, refuse)) return;
    auto& c = entry(task);
    if (c.captureAsked) return refuse(posixError(ENOTCONN));
    if (c.writeCloseAsked) return refuse(posixError(EPIPE));
    c.writes.push_back(std::move(op));
}

void StreamConnections::closeRead(const TaskPtr& task) {
    engine_.engineThread().assertOnThread();
    if (task->state() == URLSessionTaskState::Completed) return;
    auto& c = entry(task);
    if (c.readClosed) return;
    c.readClosed = true;
    if (c.fd >= 0) ::shutdown(c.fd, SHUT_RD);
    endReads(c);
    tellReadClosed(c);
}

void StreamConnections::closeWrite(const TaskPtr& task) {
    engine_.engineThread().assertOnThread();
    if (task->state() == URLSessionTaskState::Completed) return;
    entry(task).writeCloseAsked = true;
}

void StreamConnections::captureStreams(const TaskPtr& task) {
    engine_.engineThread().assertOnThread();
    if (task->state() == URLSessionTaskState::Completed) return;
    entry(task).captureAsked = true;
}

// ---------------------------------------------------------------- engine loop

bool StreamConnections::connectDone(CURL* easy, CURLcode result) {
    engine_.engineThread().assertOnThread();
    auto it =
        std::find_if(connections_.begin(), connections_.end(), [&](auto& kv) { return kv.second->easy() == easy; });
    if (it == connections_.end()) return false;
    StreamConnection& c = *it->second;
    if (result != CURLE_OK) {
        finish(c, makeURLError(codeForConnect(result)));
        return true;
    }
    curl_socket_t socket = CURL_SOCKET_BAD;
    int fd = -1;
    if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
        fd = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    c.connecting.reset();  // curl closes its descriptor; ours stays connected
    if (fd < 0) {
        finish(c, makeURLError(URLErrorCode::CannotConnectToHost));
        return true;
    }
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each write goes out when handed over
    c.fd = fd;
    c.phase = StreamConnection::Phase::Open;
    if (c.readClosed) ::shutdown(fd, SHUT_RD);
    return true;
}

void StreamConnections::pump() {
    engine_.engineThread().assertOnThread();
    std::vector<uint64_t> ids;
    ids.reserve(connections_.size());
    for (auto& [id, c] : connections_) ids.push_back(id);
    for (auto id : ids) {
        auto it = connections_.find(id);
        if (it != connections_.end()) service(*it->second);
    }
}

void StreamConnections::service(StreamConnection& c) {
    expire(c);
    if (c.phase != StreamConnection::Phase::Open || c.suspended) return;
    if (auto error = flushWrites(c)) return finish(c, error);
    if (auto error = fillReads(c)) return finish(c, error);
    if (c.captureAsked) {
        if (c.reads.empty() && c.writes.empty()) handOver(c);
        return;
    }
    bool readDone = c.readClosed || (c.peerClosed && c.inbound.empty());
    if (readDone && c.writeShut && c.reads.empty() && c.writes.empty()) finish(c, std::nullopt);
}

void StreamConnections::expire(StreamConnection& c) {
    auto now = Clock::now();
    auto expired = [&](const StreamDeadline& d) { return d && *d <= now; };
    for (auto it = c.reads.begin(); it != c.reads.end();) {
        if (!expired(it->deadline)) {
            ++it;
            continue;
        }
        // Bytes already read stay for the next read: the connection goes on.
        if (it->handler)
            engine_.deliver([h = std::move(it->handler)] { h({}, false, makeURLError(URLErrorCode::TimedOut)); });
        it = c.reads.erase(it);
    }
    for (auto it = c.writes.begin(); it != c.writes.end();) {
        if (!expired(it->deadline)) {
            ++it;
            continue;
        }
        if (it->handler) engine_.deliver([h = std::move(it->handler)] { h(makeURLError(URLErrorCode::TimedOut)); });
        it = c.writes.erase(it);
    }
}

std::optional<Error> StreamConnections::flushWrites(StreamConnection& c) {
    while (!c.writes.empty()) {
        auto& w = c.writes.front();
        while (w.offset < w.data.size()) {
            ssize_t n = ::send(c.fd, w.data.data() + w.offset, w.data.size() - w.offset, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
            if (n <= 0) return connectionLost();
            w.offset += size_t(n);
            c.sent += n;
            c.task->setBytesSent(kTaskKey, c.sent);
        }
        if (w.handler) engine_.deliver([h = std::move(w.handler)] { h(std::nullopt); });
        c.writes.pop_front();
    }
    if (c.writeCloseAsked && !c.writeShut) {
        c.writeShut = true;
        ::shutdown(c.fd, SHUT_WR);
        auto d = engine_.delegate();
        auto session = engine_.sessionRef();
        if (d && session && d->implements(URLSessionDelegateMethod::StreamTaskWriteClosed))
            engine_.deliver([d, session, task = c.task] { d->writeClosedForStreamTask(session, task); });
    }
    return std::nullopt;
}

std::optional<Error> StreamConnections::fillReads(StreamConnection& c) {
    while (!c.reads.empty()) {
        auto& r = c.reads.front();
        // Take what the socket has now, up to what this read may hand out.
        while (!c.peerClosed && c.inbound.size() < r.maxBytes) {
            size_t had = c.inbound.size();
            size_t room = std::min(kReadChunk, r.maxBytes - had);
            c.inbound.resize(had + room);
            ssize_t n = ::recv(c.fd, c.inbound.data() + had, room, 0);
            c.inbound.resize(had + size_t(std::max<ssize_t>(n, 0)));
            if (n > 0) {
                c.task->addBytesReceived(kTaskKey, n);
                continue;
            }
            if (n == 0) c.peerClosed = true;
            if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (errno != EINTR) return connectionLost();
        }
        // At least one byte even when the read asks for none: a read answers with data or the end.
        if (c.inbound.size() < std::max<size_t>(r.minBytes, 1) && !c.peerClosed) break;
        size_t n = std::min(c.inbound.size(), r.maxBytes);
        Bytes data(c.inbound.begin(), c.inbound.begin() + ptrdiff_t(n));
        c.inbound.erase(c.inbound.begin(), c.inbound.begin() + ptrdiff_t(n));
        bool atEOF = c.peerClosed && c.inbound.empty();
        if (r.handler)
            engine_.deliver([h = std::move(r.handler), data = std::move(data), atEOF]() mutable {
                h(std::move(data), atEOF, std::nullopt);
            });
        c.reads.pop_front();
    }
    if (c.peerClosed) tellReadClosed(c);
    return std::nullopt;
}

// The read side closed here: the pending reads end with what had arrived.
void StreamConnections::endReads(StreamConnection& c) {
    for (auto& r : c.reads) {
        size_t n = std::min(c.inbound.size(), r.maxBytes);
        Bytes data(c.inbound.begin(), c.inbound.begin() + ptrdiff_t(n));
        c.inbound.erase(c.inbound.begin(), c.inbound.begin() + ptrdiff_t(n));
        if (r.handler)
            engine_.deliver([h = std::move(r.handler), data = std::move(data)]() mutable {
                h(std::move(data), true, std::nullopt);
            });
    }
    c.reads.clear();
    c.inbound.clear();
}

void StreamConnections::tellReadClosed(StreamConnection& c) {
    if (c.readClosedTold) return;
    c.readClosedTold = true;
    auto d = engine_.delegate();
    auto session = engine_.sessionRef();
    if (d && session && d->implements(URLSessionDelegateMethod::StreamTaskReadClosed))
        engine_.deliver([d, session, task = c.task] { d->readClosedForStreamTask(session, task); });
}

void StreamConnections::handOver(StreamConnection& c) {
    auto streams = makeSocketStreams(c.fd, std::move(c.inbound), c.peerClosed || c.readClosed, c.writeShut);
    c.fd = -1;  // the streams own the socket now
    auto d = engine_.delegate();
    auto session = engine_.sessionRef();
    if (d && session && d->implements(URLSessionDelegateMethod::StreamTaskDidBecomeStreams))
        engine_.deliver([d, session, task = c.task, streams] {
            d->didBecomeStreams(session, task, streams.input, streams.output);
        });
    finish(c, std::nullopt);
}

void StreamConnections::finish(StreamConnection& c, std::optional<Error> error) {
    auto task = c.task;
    auto reads = std::move(c.reads);
    auto writes = std::move(c.writes);
    connections_.erase(c.id());  // closes the socket or lets the easy handle go; c is gone
    Error failure = error.value_or(posixError(ENOTCONN));
    for (auto& r : reads)
        if (r.handler) engine_.deliver([h = std::move(r.handler), failure] { h({}, false, failure); });
    for (auto& w : writes)
        if (w.handler) engine_.deliver([h = std::move(w.handler), failure] { h(failure); });
    engine_.completeWithoutTransfer(task, std::move(error));
}

// ---------------------------------------------------------------- waiting

void StreamConnections::pollFds(std::vector<pollfd>& fds) const {
    engine_.engineThread().assertOnThread();
    for (auto& [id, c] : connections_) {
        if (c->phase != StreamConnection::Phase::Open || c->suspended) continue;
        short events = 0;
        if (!c->reads.empty() && !c->peerClosed && !c->readClosed) events |= POLLIN;
        if (!c->writes.empty()) events |= POLLOUT;
        if (events) fds.push_back(pollfd{c->fd, events, 0});
    }
}

int StreamConnections::waitMillis(int upTo) const {
    engine_.engineThread().assertOnThread();
    auto now = Clock::now();
    auto wait = std::chrono::milliseconds(upTo);
    auto consider = [&](const StreamDeadline& d) {
        if (!d) return;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*d - now);
        wait = std::clamp(left, std::chrono::milliseconds(0), wait);
    };
    for (auto& [id, c] : connections_) {
        for (auto& r : c->reads) consider(r.deadline);
        for (auto& w : c->writes) consider(w.deadline);
    }
    return int(wait.count());
}

}  // namespace platform::urlsession_detail
