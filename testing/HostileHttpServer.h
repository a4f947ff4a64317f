#pragma once
// HostileHttpServer: an HTTP server on 127.0.0.1 (a free port) that answers with exactly the bytes its
// script gives, over plain POSIX sockets: no HTTP library stands between the script and the client,
// so an answer may lie in any way (malformed status lines, conflicting lengths, endless headers, a
// compressed body that inflates without end). One connection at a time, one request per connection:
// the server reads the request head (and a body of the Content-Length it announces), records it,
// writes the script's answer and closes the connection.
//
// Thread-safe; the destructor stops the server thread.
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tesmar_testing {

class HostileHttpServer {
public:
    struct Request {
        std::string method;
        std::string target;
        std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
        std::string body;
        // The first value of a header (name without regard to letter case).
        std::optional<std::string> header(const std::string& name) const;
    };
    // The raw bytes to answer a request with.
    using Script = std::function<std::string(const Request&)>;

    // Throws std::runtime_error when no socket can be bound.
    explicit HostileHttpServer(Script script);
    ~HostileHttpServer();
    HostileHttpServer(const HostileHttpServer&) = delete;
    HostileHttpServer& operator=(const HostileHttpServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const;
    std::vector<Request> requests() const;

    // An answer's head and body: "HTTP/1.1 <status>" then the fields, CR LF each, then the body.
    static std::string answer(const std::string& statusLine, const std::vector<std::string>& fields,
                              const std::string& body = "");
    // `size` zero bytes compressed with gzip: a tiny answer that inflates to `size`.
    static std::string gzipOfZeros(size_t size);

private:
    void run();
    void serve(int fd);

    Script script_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Request> requests_;
};

}  // namespace tesmar_testing
