#pragma once
// TestTcpServer: a plain TCP server on 127.0.0.1 (a free port) for stream tests, over POSIX sockets on
// one thread of its own (non-blocking sockets and poll). Every connection follows the Behaviour the
// server had when the connection was accepted:
//   echo                sends back every byte that arrives (default)
//   greeting            sent as soon as the connection is accepted
//   endWhenPeerEnds     once the client has ended its side and everything is echoed, the server ends
//                       its own (default); off, the server's side stays open
//   halfCloseAfterGreeting  the server ends its side once the greeting is out, and goes on reading
//   closeAfterBytes     once this many bytes have arrived (and been echoed), the connection is closed
//   resetOnClose        closing resets the connection (RST) instead of ending it in order
//   hold                accepts, then neither reads nor writes (the client's writes fill the buffers)
// An echoing connection stops reading while more than a megabyte waits to be sent back, so a client that
// writes without reading is held back by TCP, as by a real peer.
//
// Each connection is recorded: every byte received, whether the client's end of stream was seen, and
// whether the connection is closed. Tests may also act on a connection (send, close).
//
// Every public method is thread-safe. The destructor closes every connection and joins the thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tesmar_testing {

class TestTcpServer {
public:
    struct Behaviour {
        bool echo = true;
        std::string greeting{};
        bool endWhenPeerEnds = true;
        bool halfCloseAfterGreeting = false;
        std::optional<size_t> closeAfterBytes{};
        bool resetOnClose = false;
        bool hold = false;
    };

    struct ConnectionRecord {
        std::string received;
        bool peerEnded = false;  // the client's end of stream (or a reset) was seen
        bool closed = false;     // closed by the server (script, close()) or by an error
    };

    // Throws std::runtime_error when no socket can be bound.
    TestTcpServer();
    explicit TestTcpServer(Behaviour behaviour);
    ~TestTcpServer();
    TestTcpServer(const TestTcpServer&) = delete;
    TestTcpServer& operator=(const TestTcpServer&) = delete;

    int port() const { return port_; }

    size_t connectionCount() const;
    ConnectionRecord connection(size_t index) const;
    // Waits until `condition` holds for the connections so far (called under the server's lock; keep it
    // short); false on timeout.
    bool waitUntil(const std::function<bool(const std::vector<ConnectionRecord>&)>& condition,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    bool waitForConnections(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until connection `index` has received at least `bytes` bytes.
    bool waitForReceived(size_t index, size_t bytes,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    // Acting on connection `index` (ignored for a closed or unknown one). Queued bytes go out first.
    void send(size_t index, std::string bytes);
    void close(size_t index);

private:
    struct Connection;
    void run();
    void accept();
    void serve(Connection& c, short revents);
    void closeConnection(Connection& c);
    void wake();

    int listenFd_ = -1;
    int wakeFd_ = -1;
    int port_ = 0;
    std::thread thread_;

    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    Behaviour behaviour_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<ConnectionRecord> records_;
};

}  // namespace tesmar_testing
