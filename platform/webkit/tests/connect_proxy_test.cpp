// The web engine's loopback proxy, driven by libcurl as the client (tunnels through CONNECT, plain HTTP in
// absolute form) and by raw sockets where a client must misbehave.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/ASCII.h"
#include "platform/webkit/internal/ConnectProxy.h"
#include "testing/ClosedPort.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestCertificates.h"
#include "testing/TestHttpServer.h"

// Fetch options are written as designated initializers naming only what a case needs.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using platform::webkit::webkit_detail::ConnectProxy;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

constexpr const char* kSiteHost = "intranet.example.test";

struct Fetched {
    CURLcode code = CURLE_OK;
    long status = 0;
    long connectStatus = 0;  // the proxy's answer to CONNECT (0: none)
    std::string body;
    uint64_t patternMismatches = 0;
    uint64_t bytes = 0;
};

size_t keepBody(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<Fetched*>(user);
    out->body.append(data, size * count);
    return size * count;
}

size_t checkPattern(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<Fetched*>(user);
    for (size_t i = 0; i < size * count; ++i)
        if (static_cast<uint8_t>(data[i]) != tesmar_testing::patternByte(out->bytes + i)) ++out->patternMismatches;
    out->bytes += size * count;
    return size * count;
}

struct FetchOptions {
    std::string caFile;
    std::string postBody;
    bool checkPattern = false;
    std::optional<std::string> credential;  // "user:password" for the proxy; by default the proxy's own
};

Fetched fetch(const std::string& url, const ConnectProxy& proxy, const FetchOptions& options = {}) {
    Fetched out;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str());
    std::string credential = options.credential.value_or(proxy.username() + ":" + proxy.password());
    if (!credential.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);  // sent with the first request
        curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, credential.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");  // a no_proxy in the environment must not bypass it
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
    if (!options.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/octet-stream");
    if (!options.postBody.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, options.postBody.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(options.postBody.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, options.checkPattern ? checkPattern : keepBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
    out.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
    curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &out.connectStatus);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return out;
}

int connectRaw(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the peer sends until it closes (or resets, or 10 s pass).
std::string readUntilClosed(int fd) {
    std::string text;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return text + "<still open>";
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// Reads until `text` holds a whole response head (or the peer closes).
std::string readHead(int fd) {
    std::string text;
    while (text.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) break;
        char c;
        if (::recv(fd, &c, 1, 0) != 1) break;
        text += c;
    }
    return text;
}

void sendText(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;  // the proxy may refuse before reading it all
        sent += static_cast<size_t>(n);
    }
}

// The header line with which the engine answers `proxy`'s challenge.
std::string authorization(const ConnectProxy& proxy) {
    return "Proxy-Authorization: Basic " + platform::base64Encoded(proxy.username() + ":" + proxy.password()) + "\r\n";
}

size_t openDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

class ConnectProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        curl_global_init(CURL_GLOBAL_DEFAULT);  // once, before any client thread
        auto files = tesmar_testing::writeServerFiles(device.path(), pki.leaf, {&pki.intermediate});
        rootFile = tesmar_testing::writePEMFile(device.path() + "/root.pem", pki.root.certificatePEM);
        secure = std::make_unique<TestHttpServer>(files.certificateChainPath, files.privateKeyPath);
        plain = std::make_unique<TestHttpServer>();
    }

    std::map<std::string, std::string> mapping() const {
        return {{std::string(kSiteHost) + ":443", "127.0.0.1:" + std::to_string(secure->port())},
                {"site.example.test:80", "127.0.0.1:" + std::to_string(plain->port())}};
    }

    tesmar_testing::TemporaryDeviceRoot device{"connect-proxy"};
    tesmar_testing::TestPKI pki = tesmar_testing::TestPKI::make(kSiteHost);
    std::string rootFile;
    std::unique_ptr<TestHttpServer> secure;
    std::unique_ptr<TestHttpServer> plain;
};

TEST_F(ConnectProxyTest, MappedHostsReachTheirServers) {
    secure->route("GET", "/page", Reply::text("secure page"));
    plain->route("*", "/hello", Reply::dynamic([](const auto& request, Reply& reply) {
                     reply = Reply::text("plain " + request.method + " " + request.body);
                 }));
    ConnectProxy proxy(mapping());

    // Through a CONNECT tunnel, verified against the test root for the mapped name.
    auto tunnelled = fetch("https://intranet.example.test/page", proxy, {.caFile = rootFile});
    EXPECT_EQ(tunnelled.code, CURLE_OK) << curl_easy_strerror(tunnelled.code);
    EXPECT_EQ(tunnelled.connectStatus, 200);
    EXPECT_EQ(tunnelled.body, "secure page");
    ASSERT_EQ(secure->requestsTo("/page").size(), 1u);
    EXPECT_EQ(secure->requestsTo("/page")[0].header("Host").value_or(""), "intranet.example.test");

    // Plain HTTP in absolute form reaches the server in origin form, without the proxy's own headers.
    auto got = fetch("http://site.example.test/hello?x=1", proxy);
    EXPECT_EQ(got.code, CURLE_OK) << curl_easy_strerror(got.code);
    EXPECT_EQ(got.body, "plain GET ");
    auto posted = fetch("http://SITE.example.test/hello", proxy, {.postBody = "a=1&b=2"});
    EXPECT_EQ(posted.body, "plain POST a=1&b=2");
    auto requests = plain->requestsTo("/hello");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/hello?x=1");
    EXPECT_EQ(requests[0].header("Host").value_or(""), "site.example.test");
    EXPECT_FALSE(requests[0].hasHeader("Proxy-Connection"));
    EXPECT_FALSE(requests[0].hasHeader("Proxy-Authorization"));
    EXPECT_EQ(requests[0].header("Connection").value_or(""), "close");
}

// Any other local process could reach anything through an open proxy on the machine.
TEST_F(ConnectProxyTest, OnlyItsEngineUsesItAndOnlyForMappedHostsAndWebPorts) {
    secure->route("GET", "/page", Reply::text("secure page"));
    plain->route("GET", "/page", Reply::text("plain page"));
    ConnectProxy proxy(mapping());
    ConnectProxy other(mapping());
    struct Case {
        const char* name;
        std::string url;
        std::optional<std::string> credential;
        long status;  // the proxy's answer: 407, or 0 for none
    } cases[] = {
        {"tunnel without a credential", "https://intranet.example.test/page", "", 407},
        {"plain request without a credential", "http://site.example.test/page", "", 407},
        {"a wrong password", "https://intranet.example.test/page", proxy.username() + ":" + proxy.password() + "x",
         407},
        {"another run's credential", "http://site.example.test/page", other.username() + ":" + other.password(), 407},
        // Reachable, but neither mapped nor on a port pages use.
        {"unlisted tunnel", secure->url("/page"), std::nullopt, 0},
        {"unlisted plain request", plain->url("/page"), std::nullopt, 0},
    };
    for (const auto& c : cases) {
        auto got = fetch(c.url, proxy, {.caFile = rootFile, .credential = c.credential});
        EXPECT_EQ(std::max(got.connectStatus, got.status), c.status) << c.name;
    }
    EXPECT_EQ(secure->requestCount(), 0u);
    EXPECT_EQ(plain->requestCount(), 0u);

    // The refusal says how to authenticate, whatever the request.
    int fd = connectRaw(proxy.port());
    ASSERT_GE(fd, 0);
    sendText(fd, "CONNECT intranet.example.test:443 HTTP/1.1\r\nProxy-Authorization: Basic bm9ib2R5Og==\r\n\r\n");
    std::string answer = readUntilClosed(fd);
    ::close(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.1 407", 0), 0u) << answer;
    EXPECT_NE(answer.find("\r\nProxy-Authenticate: Basic"), std::string::npos) << answer;
}

TEST_F(ConnectProxyTest, TargetThatCannotBeReachedClosesTheConnectionWithoutAnAnswer) {
    tesmar_testing::ClosedPort closedPort;
    const std::string closed = std::to_string(closedPort.port());
    ConnectProxy proxy({{"gone.example.test:443", "127.0.0.1:" + closed},
                        {"gone.example.test:80", "127.0.0.1:" + closed},
                        {"broken.example.test:443", "not a target"},
                        {"site.example.test:80", "127.0.0.1:" + std::to_string(plain->port())}});
    struct Case {
        const char* name;
        std::string url;
    } cases[] = {
        {"mapped tunnel", "https://gone.example.test/"},
        {"mapped plain request", "http://gone.example.test/"},
        {"broken mapping", "https://broken.example.test/"},
    };
    for (const auto& c : cases) {
        auto got = fetch(c.url, proxy, {.caFile = rootFile});
        EXPECT_NE(got.code, CURLE_OK) << c.name;
        EXPECT_EQ(got.connectStatus, 0) << c.name << ": the proxy must not answer";
        EXPECT_EQ(got.status, 0) << c.name << ": no error page";
    }
    // The proxy keeps serving afterwards.
    plain->route("GET", "/after", Reply::text("after"));
    EXPECT_EQ(fetch("http://site.example.test/after", proxy).body, "after");
}

TEST_F(ConnectProxyTest, MalformedAndOversizedRequestsAreRefused) {
    ConnectProxy proxy(mapping());
    struct Case {
        const char* name;
        std::string request;
        const char* status;  // expected status line prefix
    } cases[] = {
        {"header past the limit",
         "GET http://site.example.test/ HTTP/1.1\r\nX-Big: " + std::string(ConnectProxy::kMaxHeaderBytes, 'a') +
             "\r\n\r\n",
         "HTTP/1.1 431"},
        {"endless header", "CONNECT intranet.example.test:443 HTTP/1.1\r\n" + std::string(1 << 20, 'b'),
         "HTTP/1.1 431"},
        {"origin-form target", "GET /relative HTTP/1.1\r\nHost: site.example.test\r\n\r\n", "HTTP/1.1 400"},
        {"https in absolute form", "GET https://intranet.example.test/ HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
        {"CONNECT without a port", "CONNECT intranet.example.test HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
        {"CONNECT to a bad port", "CONNECT intranet.example.test:99999 HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
        {"user info in the authority", "GET http://me@site.example.test/ HTTP/1.1\r\n\r\n", "HTTP/1.1 400"},
        {"not HTTP", "HELLO\r\n\r\n", "HTTP/1.1 400"},
        {"bare line feed inside a header", "GET http://site.example.test/ HTTP/1.1\r\nA: b\nC: d\r\n\r\n",
         "HTTP/1.1 400"},
    };
    for (const auto& c : cases) {
        int fd = connectRaw(proxy.port());
        ASSERT_GE(fd, 0);
        // Sent by the engine itself: what is refused is the request, not the client.
        std::string request = c.request;
        if (auto line = request.find("\r\n"); line != std::string::npos) request.insert(line + 2, authorization(proxy));
        std::thread writer([&] { sendText(fd, request); });
        std::string answer = readUntilClosed(fd);
        ::shutdown(fd, SHUT_RDWR);
        writer.join();
        ::close(fd);
        // A refusal may be cut short by a reset when the client is still sending; it is never let through.
        if (!answer.empty()) {
            EXPECT_EQ(answer.rfind(c.status, 0), 0u) << c.name << ": " << answer.substr(0, 80);
        }
        EXPECT_EQ(answer.find("<still open>"), std::string::npos) << c.name;
    }
    EXPECT_EQ(plain->requestCount(), 0u);
    EXPECT_EQ(secure->requestCount(), 0u);
}

TEST_F(ConnectProxyTest, LargeBodiesCrossBothWays) {
    secure->route("GET", "/big", Reply::streamed(8u << 20));
    plain->route("POST", "/upload", Reply::dynamic([](const auto& request, Reply& reply) {
                     reply = Reply::text(std::to_string(request.body.size()));
                 }));
    ConnectProxy proxy(mapping());
    auto down = fetch("https://intranet.example.test/big", proxy, {.caFile = rootFile, .checkPattern = true});
    EXPECT_EQ(down.code, CURLE_OK) << curl_easy_strerror(down.code);
    EXPECT_EQ(down.bytes, 8u << 20);
    EXPECT_EQ(down.patternMismatches, 0u);
    auto up = fetch("http://site.example.test/upload", proxy, {.postBody = std::string(3u << 20, 'u')});
    EXPECT_EQ(up.code, CURLE_OK) << curl_easy_strerror(up.code);
    EXPECT_EQ(up.status, 200);
    EXPECT_EQ(up.body, std::to_string(3u << 20));
}

TEST_F(ConnectProxyTest, ManyTunnelsAtOnce) {
    secure->route("GET", "/n/:i", Reply::dynamic([](const auto& request, Reply& reply) {
                      reply = Reply::text("page " + request.pathParams.at("i")).after(std::chrono::milliseconds(50));
                  }));
    ConnectProxy proxy(mapping());
    constexpr int kClients = 24;
    std::vector<Fetched> results(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            results[i] = fetch("https://intranet.example.test/n/" + std::to_string(i), proxy, {.caFile = rootFile});
        });
    for (auto& t : clients) t.join();
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(results[i].code, CURLE_OK) << i << ": " << curl_easy_strerror(results[i].code);
        EXPECT_EQ(results[i].body, "page " + std::to_string(i));
    }
}

TEST_F(ConnectProxyTest, StopClosesOpenTunnelsAndIdleClientsAndLeavesNoDescriptor) {
    // Tunnels end at a listener that never accepts: their connections wait in its backlog, so the only
    // descriptors they make are the proxy's own.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 64), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string target = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const size_t before = openDescriptors();
    auto proxy = std::make_unique<ConnectProxy>(std::map<std::string, std::string>{{"held.example.test:443", target}});
    std::vector<int> clients;
    for (int i = 0; i < 6; ++i) {
        int fd = connectRaw(proxy->port());
        ASSERT_GE(fd, 0);
        sendText(fd, "CONNECT held.example.test:443 HTTP/1.1\r\nHost: held.example.test:443\r\n" +
                         authorization(*proxy) + "\r\n");
        EXPECT_EQ(readHead(fd).rfind("HTTP/1.1 200", 0), 0u);
        clients.push_back(fd);
    }
    int idle = connectRaw(proxy->port());  // connected, says nothing
    ASSERT_GE(idle, 0);
    clients.push_back(idle);
    int partial = connectRaw(proxy->port());  // half a request head
    ASSERT_GE(partial, 0);
    sendText(partial, "CONNECT held.example.test:443 HTTP/1.1\r\nHo");
    clients.push_back(partial);

    proxy->stop();
    for (int fd : clients) EXPECT_EQ(readUntilClosed(fd), "");  // closed, not left hanging
    proxy.reset();
    for (int fd : clients) ::close(fd);
    EXPECT_EQ(openDescriptors(), before);
    ::close(listener);
}

}  // namespace
