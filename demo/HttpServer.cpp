#include "demo/HttpServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string_view>

#include "demo/internal/ByteRange.h"

namespace tesmar_demo {

struct HttpServer::Route {
    std::string method;
    std::string pattern;
    std::vector<Reply> script;
    RawHandler raw;
    size_t served = 0;
};

namespace {

// Headers cpp-httplib adds to every request itself; they were never sent.
bool isServerAddedHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

std::vector<std::string> splitPath(std::string_view path) {
    std::vector<std::string> segments;
    size_t start = 0;
    while (true) {
        size_t slash = path.find('/', start);
        segments.emplace_back(
            path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return segments;
}

bool matchPattern(const std::string& pattern, const std::string& path, std::map<std::string, std::string>& params) {
    auto want = splitPath(pattern);
    auto have = splitPath(path);
    std::map<std::string, std::string> found;
    for (size_t i = 0; i < want.size(); ++i) {
        if (want[i] == "*" && i + 1 == want.size()) {
            std::string rest;
            for (size_t j = i; j < have.size(); ++j) rest += (j == i ? "" : "/") + have[j];
            found["*"] = rest;
            params = std::move(found);
            return true;
        }
        if (i >= have.size()) return false;
        if (want[i].size() > 1 && want[i][0] == ':') {
            if (have[i].empty()) return false;
            found[want[i].substr(1)] = have[i];
        } else if (want[i] != have[i]) {
            return false;
        }
    }
    if (want.size() != have.size()) return false;
    params = std::move(found);
    return true;
}

bool methodMatches(const std::string& routeMethod, const std::string& method) {
    return routeMethod == "*" || routeMethod == method || (routeMethod == "GET" && method == "HEAD");
}

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

bool socketHasPorts(int fd, int localPort, int remotePort) {
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return false;
    if (portOf(local) != localPort) return false;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return false;
    return portOf(peer) == remotePort;
}

// cpp-httplib does not hand the connection's socket to handlers; find it by its two ports, which name
// one loopback connection.
int findSocket(int localPort, int remotePort) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        int fd = std::atoi(entry->d_name);
        if (fd == dirfd(dir)) continue;
        if (socketHasPorts(fd, localPort, remotePort)) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

int socketOf(const httplib::Request& req) {
    if (req.ssl) return SSL_get_fd(req.ssl);
    return findSocket(req.local_port, req.remote_port);
}

// The request the current worker thread's handle() is answering; tells apart the error answers
// cpp-httplib makes on its own, before any handler ran.
thread_local const httplib::Request* handledRequest = nullptr;

// A streamed body being sent; lives as long as the response's content provider.
struct StreamSender {
    HttpServer* server;
    StreamedBody body;
    uint64_t first = 0;  // offset of the first byte sent (ranges)
    bool paused = false;
    std::vector<char> buffer;

    // `offset`: bytes of this answer sent so far; `remaining`: bytes still to send.
    bool send(uint64_t offset, uint64_t remaining, httplib::DataSink& sink) {
        if (server->isStopping()) return false;
        if (body.dropAfter && offset >= *body.dropAfter) return false;
        if (body.pauseAt && body.pauseGate && !paused && offset >= *body.pauseAt) {
            paused = true;
            if (!server->waitForGate(body.pauseGate)) return false;
        }
        uint64_t count = std::min<uint64_t>(std::max<size_t>(body.chunkSize, 1), remaining);
        if (body.dropAfter) count = std::min(count, *body.dropAfter - offset);
        if (body.pauseAt && body.pauseGate && !paused) count = std::min(count, *body.pauseAt - offset);
        buffer.resize(count);
        if (body.fill)
            body.fill(first + offset, buffer.data(), buffer.size());
        else
            fillPattern(first + offset, buffer.data(), buffer.size());
        return sink.write(buffer.data(), buffer.size());
    }
};

// Fills in status and range headers for a body of `total` bytes; the range to send, or nullopt when
// nothing is sent (416).
std::optional<ByteRangeAnswer> applyRange(const httplib::Request& req, const Reply& reply, httplib::Response& res,
                                          uint64_t total) {
    ByteRangeAnswer whole;
    whole.kind = ByteRangeAnswer::Kind::Whole;
    whole.first = 0;
    whole.last = total == 0 ? 0 : total - 1;
    if (!reply.acceptRanges) return whole;
    res.headers.emplace("Accept-Ranges", "bytes");
    if (res.status != 200 || !req.has_header("Range")) return whole;
    if (req.has_header("If-Range")) {
        auto validator = req.get_header_value("If-Range");
        if (validator != reply.headerValue("ETag") && validator != reply.headerValue("Last-Modified")) return whole;
    }
    auto answer = answerRange(req.get_header_value("Range"), total);
    switch (answer.kind) {
    case ByteRangeAnswer::Kind::Whole:
        return whole;
    case ByteRangeAnswer::Kind::Unsatisfiable:
        res.status = 416;
        res.headers.emplace("Content-Range", "bytes */" + std::to_string(total));
        return std::nullopt;
    case ByteRangeAnswer::Kind::Partial:
        res.status = 206;
        res.headers.emplace("Content-Range", answer.contentRange(total));
        return answer;
    }
    return whole;
}

// Ends the connection at the client's hello: both directions shut, so the alert OpenSSL then tries to
// send goes nowhere and the client reads only the end of the stream.
int closeOnClientHello(SSL* ssl, int* alert, void*) {
    shutdown(SSL_get_fd(ssl), SHUT_RDWR);
    *alert = SSL_AD_HANDSHAKE_FAILURE;
    return SSL_CLIENT_HELLO_ERROR;
}

// Staples the configured OCSP response (the server's status callback; OpenSSL frees its copy).
int stapleOCSPResponse(SSL* ssl, void* arg) {
    const auto* der = static_cast<const std::string*>(arg);
    auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(der->size()));
    if (!copy) return SSL_TLSEXT_ERR_NOACK;
    std::memcpy(copy, der->data(), der->size());
    if (SSL_set_tlsext_status_ocsp_resp(ssl, copy, long(der->size())) != 1) {
        OPENSSL_free(copy);
        return SSL_TLSEXT_ERR_NOACK;
    }
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

HttpServer::HttpServer() : HttpServer(Options{}) {}

HttpServer::HttpServer(const std::string& certificateChainPath, const std::string& privateKeyPath) {
    Options options;
    options.certificateChainPath = certificateChainPath;
    options.privateKeyPath = privateKeyPath;
    start(std::move(options));
}

HttpServer::HttpServer(Options options) { start(std::move(options)); }

HttpServer::~HttpServer() { stop(); }

void HttpServer::start(Options options) {
    record_ = options.record;
    // A client gone mid-answer must cost a failed write, not the whole process.
    static std::once_flag ignoreSigpipe;
    std::call_once(ignoreSigpipe, [] { std::signal(SIGPIPE, SIG_IGN); });

    if (options.certificateChainPath.empty() != options.privateKeyPath.empty())
        throw std::runtime_error("HttpServer: TLS needs both a certificate chain and a private key");
    if (!options.certificateChainPath.empty()) {
        const auto& clientCAs = options.clientCertificateAuthorityPath;
        auto tls =
            std::make_unique<httplib::SSLServer>(options.certificateChainPath.c_str(), options.privateKeyPath.c_str(),
                                                 clientCAs.empty() ? nullptr : clientCAs.c_str());
        if (!tls->is_valid())
            throw std::runtime_error("HttpServer: cannot load certificate chain " + options.certificateChainPath +
                                     " with key " + options.privateKeyPath +
                                     (clientCAs.empty() ? "" : " and client CAs " + clientCAs));
        SSL_CTX* context = tls->ssl_context();
        if (options.maximumTLSVersion != 0 && SSL_CTX_set_max_proto_version(context, options.maximumTLSVersion) != 1)
            throw std::runtime_error("HttpServer: unknown TLS version " + std::to_string(options.maximumTLSVersion));
        if (options.closeDuringHandshake) SSL_CTX_set_client_hello_cb(context, closeOnClientHello, nullptr);
        if (!options.stapledOCSPResponse.empty()) {
            stapledOCSPResponse_ = options.stapledOCSPResponse;
            SSL_CTX_set_tlsext_status_cb(context, stapleOCSPResponse);
            SSL_CTX_set_tlsext_status_arg(context, &stapledOCSPResponse_);
        }
        server_ = std::move(tls);
        secure_ = true;
    } else {
        server_ = std::make_unique<httplib::Server>();
    }

    size_t threads = std::max<size_t>(options.threads, 1);
    server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server_->set_keep_alive_timeout(std::max<time_t>(options.keepAlive.count(), 1));
    // Answers go out as soon as they are written (a head and a body written apart would otherwise
    // wait on the client's delayed ACK), and a kept-alive connection serves as many requests as the
    // client sends: measurements through this server should see the client, not the server.
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_max_count(std::numeric_limits<size_t>::max());
    // The listening socket, to give it a real backlog once bound: cpp-httplib listens with room for
    // five pending connections, and a burst of clients connecting at once would wait for SYN retries.
    auto listener = std::make_shared<int>(-1);
    server_->set_socket_options([listener](int fd) {
        httplib::default_socket_options(fd);
        *listener = fd;
    });
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->Put(".*", handler);
    server_->Patch(".*", handler);
    server_->Delete(".*", handler);
    server_->Options(".*", handler);
    // Every answer ends in the logger: forget the request, its address may be the next one's.
    server_->set_logger([](const httplib::Request&, const httplib::Response&) { handledRequest = nullptr; });
    server_->set_error_handler(
        httplib::Server::HandlerWithResponse([this](const httplib::Request& req, httplib::Response& res) {
            return handleRejected(req, res) ? httplib::Server::HandlerResponse::Handled
                                            : httplib::Server::HandlerResponse::Unhandled;
        }));

    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("HttpServer: cannot bind a port on 127.0.0.1");
    if (*listener >= 0) ::listen(*listener, SOMAXCONN);

    auto listenEnded = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, listenEnded] {
        server_->listen_after_bind();
        listenEnded->store(true);
    });
    // stop() is a no-op until the accept loop runs, so don't hand out a server before that.
    while (!server_->is_running() && !listenEnded->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!server_->is_running()) {
        stopping_ = true;
        stopped_ = true;
        thread_.join();
        throw std::runtime_error("HttpServer: the server did not start");
    }
}

void HttpServer::stop() {
    std::vector<std::shared_ptr<Gate>> gates;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
        stopping_ = true;
        gates.assign(waitingGates_.begin(), waitingGates_.end());
    }
    stopRequested_.notify_all();
    for (auto& gate : gates) gate->interrupt();
    server_->stop();
    // Workers wait on kept-alive connections for up to the keep-alive time; close them now.
    closeConnections();
    if (thread_.joinable()) thread_.join();
}

std::string HttpServer::baseURL() const {
    return std::string(secure_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void HttpServer::route(const std::string& method, const std::string& pattern, std::vector<Reply> script) {
    if (script.empty()) throw std::invalid_argument("HttpServer::route: a script needs at least one reply");
    auto r = std::make_shared<Route>();
    r->method = method;
    r->pattern = pattern;
    r->script = std::move(script);
    std::lock_guard lock(mutex_);
    std::erase_if(routes_, [&](const auto& x) { return x->method == method && x->pattern == pattern; });
    routes_.push_back(std::move(r));
}

void HttpServer::route(const std::string& method, const std::string& pattern, Reply reply) {
    route(method, pattern, std::vector<Reply>{std::move(reply)});
}

void HttpServer::routeRaw(const std::string& method, const std::string& pattern, RawHandler handler) {
    auto r = std::make_shared<Route>();
    r->method = method;
    r->pattern = pattern;
    r->raw = std::move(handler);
    std::lock_guard lock(mutex_);
    std::erase_if(routes_, [&](const auto& x) { return x->method == method && x->pattern == pattern; });
    routes_.push_back(std::move(r));
}

void HttpServer::setFallbackHandler(RawHandler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
}

size_t HttpServer::timesServed(const std::string& method, const std::string& pattern) const {
    std::lock_guard lock(mutex_);
    for (const auto& r : routes_) {
        if (r->method == method && r->pattern == pattern) return r->served;
    }
    return 0;
}

std::vector<RecordedRequest> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t HttpServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size() + unrecorded_;
}

std::vector<RecordedRequest> HttpServer::requestsTo(const std::string& path) const {
    std::vector<RecordedRequest> matching;
    std::lock_guard lock(mutex_);
    for (const auto& r : requests_) {
        if (r.path == path) matching.push_back(r);
    }
    return matching;
}

bool HttpServer::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return recordedChanged_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool HttpServer::waitUntil(const std::function<bool(const std::vector<RecordedRequest>&)>& condition,
                           std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return recordedChanged_.wait_for(lock, timeout, [&] { return condition(requests_); });
}

void HttpServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

RecordedRequest HttpServer::record(const httplib::Request& req) {
    RecordedRequest r;
    r.method = req.method;
    r.target = req.target;
    size_t question = r.target.find('?');
    r.rawPath = r.target.substr(0, question);
    if (question != std::string::npos) {
        r.hasQuery = true;
        r.rawQuery = r.target.substr(question + 1);
    }
    r.path = httplib::detail::decode_url(r.rawPath, false);
    std::string_view query = r.rawQuery;
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (item.empty()) continue;
        size_t equals = item.find('=');
        std::string name(item.substr(0, equals));
        std::string value(equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1));
        r.queryItems.emplace_back(httplib::detail::decode_url(name, true), httplib::detail::decode_url(value, true));
    }
    for (const auto& [name, value] : req.headers) {
        if (!isServerAddedHeader(name)) r.headers.emplace_back(name, value);
    }
    r.body = req.body;
    for (const auto& [name, file] : req.files)
        r.parts.push_back({file.name, file.filename, file.content_type, file.content});
    r.remoteAddress = req.remote_addr;
    r.remotePort = req.remote_port;
    r.secure = secure_;
    return r;
}

void HttpServer::rememberConnection(const httplib::Request& req) {
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (it->remotePort != req.remote_port) {
                ++it;
            } else if (socketHasPorts(it->fd, port_, it->remotePort)) {
                return;
            } else {
                it = connections_.erase(it);  // a closed connection whose client port came round again
            }
        }
    }
    int fd = socketOf(req);
    if (fd < 0) return;
    std::lock_guard lock(mutex_);
    connections_.insert({fd, req.remote_port});
}

void HttpServer::closeConnections() {
    std::set<Connection> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
    }
    // Only sockets still joined to the same peer: a number may since have been reused.
    for (const auto& c : connections) {
        if (socketHasPorts(c.fd, port_, c.remotePort)) ::shutdown(c.fd, SHUT_RDWR);
    }
}

bool HttpServer::handleRejected(const httplib::Request& req, httplib::Response& res) {
    if (handledRequest == &req || req.method.empty()) return false;
    if (res.status == 416) {
        // A Range header cpp-httplib cannot parse: a server ignores such a header, so answer normally.
        res.status = -1;
        handle(req, res);
        if (res.status == -1) res.status = 200;
        return true;
    }
    // Refused before routing (e.g. a target too long): keep the record all the same.
    RecordedRequest recorded = record(req);
    {
        std::lock_guard lock(mutex_);
        recorded.sequence = nextSequence_++;
        requests_.push_back(std::move(recorded));
    }
    recordedChanged_.notify_all();
    return false;
}

void HttpServer::handle(const httplib::Request& req, httplib::Response& res) {
    handledRequest = &req;
    if (record_) rememberConnection(req);
    RecordedRequest recorded = record(req);

    std::shared_ptr<Route> matched;
    Reply reply;
    RawHandler raw;
    {
        std::lock_guard lock(mutex_);
        for (auto it = routes_.rbegin(); it != routes_.rend(); ++it) {
            std::map<std::string, std::string> params;
            if (methodMatches((*it)->method, req.method) && matchPattern((*it)->pattern, recorded.path, params)) {
                matched = *it;
                recorded.pathParams = std::move(params);
                break;
            }
        }
        if (matched) {
            if (matched->raw) {
                raw = matched->raw;
            } else {
                reply = matched->script[std::min(matched->served, matched->script.size() - 1)];
            }
            ++matched->served;
        } else {
            raw = fallback_;
        }
        recorded.sequence = nextSequence_++;
        if (record_)
            requests_.push_back(recorded);
        else
            ++unrecorded_;
    }
    recordedChanged_.notify_all();

    // The script decides ranges and compression; keep cpp-httplib from applying its own on top.
    auto& mutableRequest = const_cast<httplib::Request&>(req);
    mutableRequest.ranges.clear();
    mutableRequest.headers.erase("Accept-Encoding");

    if (raw) {
        raw(recorded, req, res);
    } else if (matched) {
        answer(recorded, req, res, std::move(reply));
    } else {
        res.status = 404;
    }
    if (res.status == -1) res.status = 200;
}

void HttpServer::answer(const RecordedRequest& recorded, const httplib::Request& req, httplib::Response& res,
                        Reply reply) {
    if (reply.generate) {
        auto generate = std::move(reply.generate);
        generate(recorded, reply);
    }
    if ((reply.delay.count() > 0 && !pause(reply.delay)) || (reply.hold && !waitForGate(reply.hold)) ||
        reply.dropConnection)
        return failAnswer(req, res);

    res.status = reply.status;
    std::string contentType;
    for (const auto& [name, value] : reply.headers) {
        // cpp-httplib writes the body's length itself.
        if (headerNamesEqual(name, "Content-Length")) continue;
        if (headerNamesEqual(name, "Content-Type")) {
            if (contentType.empty()) contentType = value;
            continue;
        }
        res.headers.emplace(name, value);
    }

    if (!reply.stream) {
        std::string body = reply.gzip ? gzipCompress(reply.body) : std::move(reply.body);
        if (reply.gzip) res.headers.emplace("Content-Encoding", "gzip");
        auto range = applyRange(req, reply, res, body.size());
        if (!range)
            body.clear();
        else if (range->kind == ByteRangeAnswer::Kind::Partial)
            body = body.substr(range->first, range->length());
        if (!contentType.empty()) res.headers.emplace("Content-Type", contentType);
        res.body = std::move(body);
        return;
    }

    auto sender = std::make_shared<StreamSender>();
    sender->server = this;
    sender->body = std::move(*reply.stream);
    if (contentType.empty()) contentType = "application/octet-stream";
    uint64_t total = sender->body.length;
    uint64_t count = total;
    if (sender->body.sendContentLength) {
        auto range = applyRange(req, reply, res, total);
        if (!range)
            count = 0;
        else if (range->kind == ByteRangeAnswer::Kind::Partial) {
            sender->first = range->first;
            count = range->length();
        }
    }
    if (count == 0) {
        // cpp-httplib wants a non-empty provider; an empty body needs none.
        res.headers.emplace("Content-Type", contentType);
        return;
    }
    if (sender->body.sendContentLength) {
        res.set_content_provider(count, contentType, [sender](size_t offset, size_t length, httplib::DataSink& sink) {
            return sender->send(offset, length, sink);
        });
    } else {
        res.set_chunked_content_provider(contentType, [sender, count](size_t offset, httplib::DataSink& sink) {
            if (offset >= count) {
                sink.done();
                return true;
            }
            return sender->send(offset, count - offset, sink);
        });
    }
}

bool HttpServer::dropConnection(const httplib::Request& req) {
    int fd = socketOf(req);
    // Shut down rather than close: cpp-httplib still owns the descriptor and closes it itself.
    return fd >= 0 && ::shutdown(fd, SHUT_RDWR) == 0;
}

void HttpServer::failAnswer(const httplib::Request& req, httplib::Response& res) {
    if (dropConnection(req)) return;
    // The socket could not be found: still make the client fail, with a body that never comes.
    res.status = 200;
    res.set_content_provider(1, "application/octet-stream", [](size_t, size_t, httplib::DataSink&) { return false; });
}

bool HttpServer::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !stopRequested_.wait_for(lock, delay, [&] { return stopping_.load(); });
}

bool HttpServer::waitForGate(const std::shared_ptr<Gate>& gate) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        waitingGates_.insert(gate);
    }
    auto cancelled = [this] { return stopping_.load(); };
    while (!gate->wait(std::chrono::hours(1), cancelled) && !stopping_) {
    }
    {
        std::lock_guard lock(mutex_);
        auto it = waitingGates_.find(gate);
        if (it != waitingGates_.end()) waitingGates_.erase(it);
    }
    return gate->isOpen() && !stopping_;
}

}  // namespace tesmar_demo
