#include "testing/TestTcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tesmar_testing {

namespace {
constexpr size_t kChunk = 64 * 1024;
// An echoing connection stops reading while this much waits to go back.
constexpr size_t kMaxUnsent = 1 << 20;
}  // namespace

struct TestTcpServer::Connection {
    int fd = -1;
    size_t index = 0;
    Behaviour behaviour;
    std::string unsent;
    size_t unsentOffset = 0;
    size_t receivedCount = 0;
    bool peerEnded = false;
    bool endWhenFlushed = false;    // shut our side down once everything queued is out
    bool closeWhenFlushed = false;  // close once everything queued is out
    bool ended = false;             // our side is shut down
    bool closed = false;

    bool hasUnsent() const { return unsentOffset < unsent.size(); }
};

TestTcpServer::TestTcpServer() : TestTcpServer(Behaviour{}) {}

TestTcpServer::TestTcpServer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listenFd_ >= 0) ::close(listenFd_);
        throw std::runtime_error("TestTcpServer: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        ::close(listenFd_);
        throw std::runtime_error("TestTcpServer: no eventfd");
    }
    thread_ = std::thread([this] { run(); });
}

TestTcpServer::~TestTcpServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    for (auto& c : connections_)
        if (!c->closed) ::close(c->fd);
    ::close(listenFd_);
    ::close(wakeFd_);
}

void TestTcpServer::wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

size_t TestTcpServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

TestTcpServer::ConnectionRecord TestTcpServer::connection(size_t index) const {
    std::lock_guard lock(mutex_);
    return index < records_.size() ? records_[index] : ConnectionRecord{};
}

bool TestTcpServer::waitUntil(const std::function<bool(const std::vector<ConnectionRecord>&)>& condition,
                              std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(records_); });
}

bool TestTcpServer::waitForConnections(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil([count](const auto& records) { return records.size() >= count; }, timeout);
}

bool TestTcpServer::waitForReceived(size_t index, size_t bytes, std::chrono::milliseconds timeout) const {
    return waitUntil(
        [index, bytes](const auto& records) {
            return index < records.size() && records[index].received.size() >= bytes;
        },
        timeout);
}

void TestTcpServer::send(size_t index, std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        if (index >= connections_.size() || connections_[index]->closed) return;
        connections_[index]->unsent += bytes;
    }
    wake();
}

void TestTcpServer::close(size_t index) {
    {
        std::lock_guard lock(mutex_);
        if (index >= connections_.size()) return;
        connections_[index]->closeWhenFlushed = true;
    }
    wake();
}

void TestTcpServer::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    for (;;) {
        fds.assign({{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}});
        polled.clear();
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            for (auto& c : connections_) {
                if (c->closed || c->behaviour.hold) continue;
                short events = 0;
                bool reading = !c->peerEnded && !c->closeWhenFlushed && c->unsent.size() - c->unsentOffset < kMaxUnsent;
                if (reading) events |= POLLIN;
                if (c->hasUnsent()) events |= POLLOUT;
                fds.push_back({c->fd, events, 0});
                polled.push_back(c.get());
            }
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
        if (fds[1].revents) {
            uint64_t count;
            [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
        }
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (fds[0].revents) accept();
        for (size_t i = 0; i < polled.size(); ++i) serve(*polled[i], fds[i + 2].revents);
        // Connections acted on by a test (or just accepted) move on even without socket events.
        for (auto& c : connections_)
            if (!c->closed && !c->behaviour.hold) serve(*c, 0);
        changed_.notify_all();
    }
}

void TestTcpServer::accept() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->index = connections_.size();
        c->behaviour = behaviour_;
        c->unsent = behaviour_.greeting;
        c->endWhenFlushed = behaviour_.halfCloseAfterGreeting;
        connections_.push_back(std::move(c));
        records_.emplace_back();
    }
}

void TestTcpServer::serve(Connection& c, short revents) {
    if (c.closed) return;
    auto& record = records_[c.index];
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[kChunk];
        ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            record.received.append(buffer, size_t(n));
            c.receivedCount += size_t(n);
            if (c.behaviour.echo && !c.ended) c.unsent.append(buffer, size_t(n));
            if (c.behaviour.closeAfterBytes && c.receivedCount >= *c.behaviour.closeAfterBytes)
                c.closeWhenFlushed = true;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            c.peerEnded = record.peerEnded = true;
            if (n < 0) return closeConnection(c);
            if (c.behaviour.endWhenPeerEnds) c.endWhenFlushed = true;
        }
    }
    while (c.hasUnsent()) {
        ssize_t n = ::send(c.fd, c.unsent.data() + c.unsentOffset, c.unsent.size() - c.unsentOffset, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) return closeConnection(c);
        c.unsentOffset += size_t(n);
    }
    if (c.hasUnsent()) return;
    c.unsent.clear();
    c.unsentOffset = 0;
    if (c.closeWhenFlushed) return closeConnection(c);
    if (c.endWhenFlushed && !c.ended) {
        c.ended = true;
        ::shutdown(c.fd, SHUT_WR);
    }
    if (c.ended && c.peerEnded) closeConnection(c);  // both sides done: nothing more can happen
}

void TestTcpServer::closeConnection(Connection& c) {
    if (c.behaviour.resetOnClose) {
        linger reset{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ::close(c.fd);
    c.closed = records_[c.index].closed = true;
}

}  // namespace tesmar_testing
