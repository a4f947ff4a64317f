#include "testing/TestHttp2Server.h"

#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "testing/LoopbackSocket.h"

namespace tesmar_testing {

struct TestHttp2Server::SslContext {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    ~SslContext() { SSL_CTX_free(ctx); }
};

namespace {
constexpr size_t kRecord = 16 * 1024;  // TLS's largest record
}  // namespace

struct TestHttp2Server::Connection {
    TestHttp2Server* server = nullptr;
    int fd = -1;
    SSL* ssl = nullptr;
    nghttp2_session* session = nullptr;
    struct Stream {
        std::string path;
        std::optional<Route> answer;
        size_t sent = 0;
    };
    std::map<int32_t, Stream> streams;
    std::vector<int32_t> waiting;  // whole requests not answered yet, in the order they came
    std::string unsent;            // frames not written yet: they go out in full TLS records
    std::thread thread;
    // Writes what is unsent in records as full as they come, while at least `least` bytes wait: a
    // frame's end shares its record with the next frame's start, as a file server's writes go out.
    bool flush(size_t least) {
        size_t done = 0;
        while (unsent.size() - done >= least && done < unsent.size()) {
            const int n = int(std::min(unsent.size() - done, kRecord));
            if (SSL_write(ssl, unsent.data() + done, n) != n) return false;
            done += size_t(n);
        }
        unsent.erase(0, done);
        return true;
    }
    ~Connection() {
        if (session) nghttp2_session_del(session);
        if (ssl) SSL_free(ssl);
        if (fd >= 0) ::close(fd);
    }
};

namespace {

// Offers "h2" alone: a client that cannot speak it fails the handshake instead of falling back.
int selectH2(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in, unsigned int inLength,
             void*) {
    static const unsigned char kH2[] = {2, 'h', '2'};
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outLength, kH2, sizeof kH2, in, inLength) != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

nghttp2_nv field(const char* name, const std::string& value) {
    return nghttp2_nv{reinterpret_cast<uint8_t*>(const_cast<char*>(name)),
                      reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), std::strlen(name), value.size(),
                      NGHTTP2_NV_FLAG_NONE};
}

}  // namespace

TestHttp2Server::TestHttp2Server(const std::string& certificateChainPath, const std::string& privateKeyPath)
    : tls_(std::make_unique<SslContext>()) {
    if (!tls_->ctx || SSL_CTX_use_certificate_chain_file(tls_->ctx, certificateChainPath.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_->ctx, privateKeyPath.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("TestHttp2Server: cannot load " + certificateChainPath + " and its key");
    SSL_CTX_set_min_proto_version(tls_->ctx, TLS1_2_VERSION);
    SSL_CTX_set_alpn_select_cb(tls_->ctx, selectH2, nullptr);

    auto bound = bindLoopback(SOCK_STREAM | SOCK_CLOEXEC, "TestHttp2Server", 64);
    listenFd_ = bound.fd;
    port_ = bound.port;
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0) {
        ::close(listenFd_);
        throw std::runtime_error("TestHttp2Server: no eventfd");
    }
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestHttp2Server::~TestHttp2Server() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
    acceptor_.join();
    {
        // A connection blocked writing to a client that stopped reading is woken by the shutdown.
        std::lock_guard lock(mutex_);
        for (auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
    }
    for (auto& c : connections_) c->thread.join();
    connections_.clear();
    ::close(listenFd_);
    ::close(stopFd_);
}

void TestHttp2Server::route(const std::string& path, int status, std::string body) {
    std::lock_guard lock(mutex_);
    routes_[path] = Route{status, std::make_shared<const std::string>(std::move(body))};
}

void TestHttp2Server::hold(const std::string& path) {
    std::lock_guard lock(mutex_);
    held_.insert(path);
}

void TestHttp2Server::release(const std::string& path) {
    std::lock_guard lock(mutex_);
    held_.erase(path);
}

size_t TestHttp2Server::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool TestHttp2Server::waitForRequests(size_t count) const { return waitFor(&TestHttp2Server::requests_, count); }
bool TestHttp2Server::waitForAnswers(size_t count) const { return waitFor(&TestHttp2Server::answers_, count); }

bool TestHttp2Server::waitFor(size_t TestHttp2Server::*counter, size_t count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return this->*counter >= count; });
}

void TestHttp2Server::count(size_t TestHttp2Server::*counter) {
    std::lock_guard lock(mutex_);
    ++(this->*counter);
    changed_.notify_all();
}

std::optional<TestHttp2Server::Route> TestHttp2Server::routeFor(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (held_.count(path)) return std::nullopt;
    auto it = routes_.find(path);
    return it != routes_.end() ? it->second : Route{404, std::make_shared<const std::string>()};
}

void TestHttp2Server::acceptLoop() {
    for (;;) {
        pollfd fds[] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || fds[1].revents) return;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto connection = std::make_unique<Connection>();
        connection->server = this;
        connection->fd = fd;
        Connection& c = *connection;
        std::lock_guard lock(mutex_);
        connections_.push_back(std::move(connection));
        c.thread = std::thread([this, &c] { serve(c); });
    }
}

void TestHttp2Server::serve(Connection& c) {
    // A client gone mid-answer fails the write (EPIPE) instead of signalling the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    c.ssl = SSL_new(tls_->ctx);
    SSL_set_fd(c.ssl, c.fd);
    if (SSL_accept(c.ssl) != 1) return;

    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_send_callback(
        callbacks, [](nghttp2_session*, const uint8_t* data, size_t length, int, void* user) -> ssize_t {
            auto* c = static_cast<Connection*>(user);
            c->unsent.append(reinterpret_cast<const char*>(data), length);
            if (!c->flush(kRecord)) return NGHTTP2_ERR_CALLBACK_FAILURE;
            return ssize_t(length);
        });
    nghttp2_session_callbacks_set_on_header_callback(
        callbacks,
        [](nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name, size_t nameLength, const uint8_t* value,
           size_t valueLength, uint8_t, void* user) -> int {
            auto* c = static_cast<Connection*>(user);
            if (frame->hd.type == NGHTTP2_HEADERS &&
                std::string_view(reinterpret_cast<const char*>(name), nameLength) == ":path")
                c->streams[frame->hd.stream_id].path.assign(reinterpret_cast<const char*>(value), valueLength);
            return 0;
        });
    nghttp2_session_callbacks_set_on_frame_recv_callback(
        callbacks, [](nghttp2_session*, const nghttp2_frame* frame, void* user) -> int {
            auto* c = static_cast<Connection*>(user);
            const bool request = frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA;
            if (!request || !(frame->hd.flags & NGHTTP2_FLAG_END_STREAM)) return 0;
            c->waiting.push_back(frame->hd.stream_id);
            c->server->count(&TestHttp2Server::requests_);
            return 0;
        });
    nghttp2_session_callbacks_set_on_stream_close_callback(
        callbacks, [](nghttp2_session*, int32_t streamId, uint32_t, void* user) -> int {
            auto* c = static_cast<Connection*>(user);
            auto stream = c->streams.find(streamId);
            if (stream == c->streams.end()) return 0;
            if (stream->second.answer && stream->second.sent == stream->second.answer->body->size())
                c->server->count(&TestHttp2Server::answers_);
            c->streams.erase(stream);
            return 0;
        });
    nghttp2_session_server_new(&c.session, callbacks, &c);
    nghttp2_session_callbacks_del(callbacks);
    nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100}};
    nghttp2_submit_settings(c.session, NGHTTP2_FLAG_NONE, settings, 1);

    // Answers the stream unless its path is held (false: it waits on).
    auto answer = [this, &c](int32_t streamId) {
        auto found = c.streams.find(streamId);
        if (found == c.streams.end()) return true;
        auto& stream = found->second;
        stream.answer = routeFor(stream.path);
        if (!stream.answer) return false;
        const std::string status = std::to_string(stream.answer->status);
        const std::string length = std::to_string(stream.answer->body->size());
        nghttp2_nv fields[] = {field(":status", status), field("content-length", length)};
        nghttp2_data_provider body{};
        body.read_callback = [](nghttp2_session*, int32_t id, uint8_t* out, size_t length, uint32_t* flags,
                                nghttp2_data_source*, void* user) -> ssize_t {
            auto& stream = static_cast<Connection*>(user)->streams.at(id);
            const std::string& bytes = *stream.answer->body;
            const size_t n = std::min(length, bytes.size() - stream.sent);
            std::memcpy(out, bytes.data() + stream.sent, n);
            stream.sent += n;
            if (n == 0) *flags |= NGHTTP2_DATA_FLAG_EOF;  // in a frame of its own, as a file server sends it
            return ssize_t(n);
        };
        nghttp2_submit_response(c.session, streamId, fields, 2, &body);
        return true;
    };

    uint8_t buffer[16 * 1024];
    for (;;) {
        std::erase_if(c.waiting, answer);
        if (nghttp2_session_send(c.session) != 0 || !c.flush(1)) return;
        if (!nghttp2_session_want_read(c.session) && !nghttp2_session_want_write(c.session)) return;
        if (SSL_pending(c.ssl) == 0) {
            pollfd fds[] = {{c.fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            // Held requests are looked at again every few milliseconds.
            const int ready = ::poll(fds, 2, c.waiting.empty() ? -1 : 5);
            if (ready < 0 || fds[1].revents) return;
            if (ready == 0) continue;
        }
        const int n = SSL_read(c.ssl, buffer, sizeof buffer);
        if (n <= 0 || nghttp2_session_mem_recv(c.session, buffer, size_t(n)) < 0) return;
    }
}

}  // namespace tesmar_testing
