#include "testing/HostileHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace tesmar_testing {

namespace {

constexpr int kIdleMillis = 10000;  // a silent client is dropped after this long
constexpr size_t kMaxRequestHead = 1 << 20;

bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Reads at least one more byte into `into`; false at the end, on an error or after the idle time.
bool readMore(int fd, std::string& into) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kIdleMillis) <= 0) return false;
    char buffer[16 * 1024];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    into.append(buffer, size_t(n));
    return true;
}

void writeAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;  // the client went away: nothing more to say
        sent += size_t(n);
    }
}

}  // namespace

std::optional<std::string> HostileHttpServer::Request::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (iequals(n, name)) return v;
    return std::nullopt;
}

HostileHttpServer::HostileHttpServer(Script script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 16) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listenFd_ >= 0) ::close(listenFd_);
        throw std::runtime_error("HostileHttpServer: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        ::close(listenFd_);
        throw std::runtime_error("HostileHttpServer: no eventfd");
    }
    thread_ = std::thread([this] { run(); });
}

HostileHttpServer::~HostileHttpServer() {
    uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(listenFd_);
    ::close(wakeFd_);
}

std::string HostileHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<HostileHttpServer::Request> HostileHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HostileHttpServer::run() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve(fd);
        ::close(fd);
    }
}

void HostileHttpServer::serve(int fd) {
    std::string in;
    size_t headEnd;
    while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
        if (in.size() > kMaxRequestHead || !readMore(fd, in)) return;
    }
    Request request;
    std::string head = in.substr(0, headEnd);
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t sp1 = requestLine.find(' '), sp2 = requestLine.rfind(' ');
    if (sp1 == std::string::npos || sp2 <= sp1) return;
    request.method = requestLine.substr(0, sp1);
    request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t at = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (at < head.size()) {
        size_t end = head.find("\r\n", at);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(at, end - at);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t v = colon + 1;
            while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
            request.headers.emplace_back(line.substr(0, colon), line.substr(v));
        }
        at = end + 2;
    }
    request.body = in.substr(headEnd + 4);
    if (auto length = request.header("Content-Length")) {
        size_t want = std::strtoull(length->c_str(), nullptr, 10);
        while (request.body.size() < want && readMore(fd, request.body)) {
        }
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    writeAll(fd, script_(request));
    ::shutdown(fd, SHUT_WR);
    // Take in what the client sent beyond the request, so the close ends the connection in order
    // (closing with unread input would reset it and could cost the client our answer).
    char scratch[16 * 1024];
    while (::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
}

std::string HostileHttpServer::answer(const std::string& statusLine, const std::vector<std::string>& fields,
                                      const std::string& body) {
    std::string out = statusLine + "\r\n";
    for (const auto& field : fields) out += field + "\r\n";
    return out + "\r\n" + body;
}

std::string HostileHttpServer::gzipOfZeros(size_t size) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("HostileHttpServer: deflateInit2");
    std::string zeros(256 * 1024, '\0'), out;
    char buffer[64 * 1024];
    size_t left = size;
    int flush = Z_NO_FLUSH;
    do {
        size_t take = std::min(left, zeros.size());
        left -= take;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = reinterpret_cast<Bytef*>(zeros.data());
        z.avail_in = uInt(take);
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            deflate(&z, flush);
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
    return out;
}

}  // namespace tesmar_testing
