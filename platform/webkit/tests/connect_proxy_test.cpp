// The web engine's loopback proxy, driven by libcurl as the client (host names sent to the proxy unresolved)
// and by raw sockets where a client must misbehave.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/webkit/internal/ConnectProxy.h"
#include "testing/ClosedPort.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestCertificates.h"
#include "testing/TestHttpServer.h"
#include "testing/TestTcpServer.h"

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
    long proxyError = CURLPX_OK;  // why the proxy refused, as the client understood it
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
    std::optional<std::pair<std::string, std::string>> credential;  // for the proxy; by default its own
};

Fetched fetch(const std::string& url, const ConnectProxy& proxy, const FetchOptions& options = {}) {
    Fetched out;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, ("socks5h://127.0.0.1:" + std::to_string(proxy.port())).c_str());
    auto credential = options.credential.value_or(std::pair(proxy.username(), proxy.password()));
    if (!credential.first.empty()) {  // else only "no authentication" is offered
        curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, credential.first.c_str());
        curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, credential.second.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");  // a no_proxy in the environment must not bypass it
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 30000L);
    if (!options.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/octet-stream");
    headers = curl_slist_append(headers, "Expect:");  // the body goes at once, answered or not
    if (!options.postBody.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, options.postBody.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(options.postBody.size()));
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, options.checkPattern ? checkPattern : keepBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
    out.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
    curl_easy_getinfo(curl, CURLINFO_PROXY_ERROR, &out.proxyError);
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

// Everything the peer sends until it closes (or resets, or 10 s pass). A reset can discard what the peer
// sent and this side has not read yet, so it shows.
std::string readUntilClosed(int fd) {
    std::string text;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) return text + "<still open>";
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) return text + "<reset>";
        if (n == 0) return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// Reads `size` bytes (fewer when the peer closes or 10 s pass).
std::string readBytes(int fd, size_t size) {
    std::string text;
    while (text.size() < size) {
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

std::string lengthPrefixed(const std::string& text) { return std::string(1, static_cast<char>(text.size())) + text; }

// The engine's greeting and authentication, as one write.
std::string authentication(const ConnectProxy& proxy) {
    return std::string("\x05\x01\x02\x01", 4) + lengthPrefixed(proxy.username()) + lengthPrefixed(proxy.password());
}
const std::string kAuthenticated("\x05\x02\x01\x00", 4);

// A request for a tunnel to `host` (a name) on port 443.
std::string tunnelTo(const std::string& host) {
    return std::string("\x05\x01\x00\x03", 4) + lengthPrefixed(host) + std::string("\x01\xbb", 2);
}
// The proxy's answer with `code`, bound to 0.0.0.0:0.
std::string answer(char code) { return std::string("\x05", 1) + code + std::string("\x00\x01\0\0\0\0\0\0", 8); }

size_t entriesIn(const char* folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}
size_t openDescriptors() { return entriesIn("/proc/self/fd"); }

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

    // Verified against the test root for the mapped name.
    auto tunnelled = fetch("https://intranet.example.test/page", proxy, {.caFile = rootFile});
    EXPECT_EQ(tunnelled.code, CURLE_OK) << curl_easy_strerror(tunnelled.code);
    EXPECT_EQ(tunnelled.body, "secure page");
    ASSERT_EQ(secure->requestsTo("/page").size(), 1u);
    EXPECT_EQ(secure->requestsTo("/page")[0].header("Host").value_or(""), "intranet.example.test");

    auto got = fetch("http://site.example.test/hello?x=1", proxy);
    EXPECT_EQ(got.code, CURLE_OK) << curl_easy_strerror(got.code);
    EXPECT_EQ(got.body, "plain GET ");
    auto posted = fetch("http://SITE.example.test/hello", proxy, {.postBody = "a=1&b=2"});
    EXPECT_EQ(posted.body, "plain POST a=1&b=2");
    auto requests = plain->requestsTo("/hello");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/hello?x=1");
    EXPECT_EQ(requests[0].header("Host").value_or(""), "site.example.test");
}

// Any other local process could reach anything through an open proxy on the machine.
TEST_F(ConnectProxyTest, OnlyItsEngineUsesItAndOnlyForMappedHostsAndWebPorts) {
    secure->route("GET", "/page", Reply::text("secure page"));
    plain->route("GET", "/page", Reply::text("plain page"));
    ConnectProxy proxy(mapping());
    ConnectProxy other(mapping());
    using Credential = std::pair<std::string, std::string>;
    struct Case {
        const char* name;
        std::string url;
        std::optional<Credential> credential;
        long refusal;
    } cases[] = {
        {"no credential", "https://intranet.example.test/page", Credential(), CURLPX_NO_AUTH},
        {"a wrong password", "http://site.example.test/page", Credential(proxy.username(), proxy.password() + "x"),
         CURLPX_USER_REJECTED},
        {"another run's credential", "https://intranet.example.test/page",
         Credential(other.username(), other.password()), CURLPX_USER_REJECTED},
        // Reachable, but neither mapped nor on a port pages use.
        {"unlisted tunnel", secure->url("/page"), std::nullopt, CURLPX_REPLY_NOT_ALLOWED},
        {"unlisted plain request", plain->url("/page"), std::nullopt, CURLPX_REPLY_NOT_ALLOWED},
    };
    for (const auto& c : cases) {
        auto got = fetch(c.url, proxy, {.caFile = rootFile, .credential = c.credential});
        EXPECT_EQ(got.code, CURLE_PROXY) << c.name;
        EXPECT_EQ(got.proxyError, c.refusal) << c.name;
    }
    EXPECT_EQ(secure->requestCount(), 0u);
    EXPECT_EQ(plain->requestCount(), 0u);
}

TEST_F(ConnectProxyTest, TargetThatCannotBeReachedIsRefused) {
    tesmar_testing::ClosedPort closedPort;
    const std::string closed = std::to_string(closedPort.port());
    ConnectProxy proxy({{"gone.example.test:443", "127.0.0.1:" + closed},
                        {"gone.example.test:80", "127.0.0.1:" + closed},
                        {"broken.example.test:443", "not a target"},
                        {"site.example.test:80", "127.0.0.1:" + std::to_string(plain->port())}});
    struct Case {
        const char* name;
        std::string url;
        long refusal;
    } cases[] = {
        {"mapped tunnel", "https://gone.example.test/", CURLPX_REPLY_HOST_UNREACHABLE},
        {"mapped plain request", "http://gone.example.test/", CURLPX_REPLY_HOST_UNREACHABLE},
        {"unresolvable", "https://nowhere.invalid/", CURLPX_REPLY_HOST_UNREACHABLE},
        {"broken mapping", "https://broken.example.test/", CURLPX_REPLY_GENERAL_SERVER_FAILURE},
    };
    for (const auto& c : cases) {
        auto got = fetch(c.url, proxy, {.caFile = rootFile});
        EXPECT_EQ(got.code, CURLE_PROXY) << c.name;
        EXPECT_EQ(got.proxyError, c.refusal) << c.name;
    }
    // The proxy keeps serving afterwards.
    plain->route("GET", "/after", Reply::text("after"));
    EXPECT_EQ(fetch("http://site.example.test/after", proxy).body, "after");
}

TEST_F(ConnectProxyTest, MalformedRequestsAreRefused) {
    ConnectProxy proxy(mapping());
    const std::string signIn = authentication(proxy);
    struct Case {
        const char* name;
        std::string request;
        std::string answer;  // all the proxy says before it closes
    } cases[] = {
        {"not SOCKS", "GET http://site.example.test/ HTTP/1.1\r\n\r\n", ""},
        {"no method offered", std::string("\x05\x00", 2), "\x05\xff"},
        {"only no authentication offered", std::string("\x05\x01\x00", 3), "\x05\xff"},
        {"another version of authentication", "\x05\x01\x02\x02\x01u\x01p", "\x05\x02"},
        {"another command", signIn + std::string("\x05\x02\x00\x01\x7f\x00\x00\x01\x01\xbb", 10),
         kAuthenticated + answer('\x07')},
        {"another address type", signIn + std::string("\x05\x01\x00\x05\x00\x00\x01\xbb", 8),
         kAuthenticated + answer('\x08')},
        {"empty host name", signIn + tunnelTo(""), kAuthenticated + answer('\x04')},
        {"host name with a path", signIn + tunnelTo("site.example.test/x"), kAuthenticated + answer('\x04')},
        {"port 0", signIn + std::string("\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x00", 10),
         kAuthenticated + answer('\x04')},
    };
    for (const auto& c : cases) {
        int fd = connectRaw(proxy.port());
        ASSERT_GE(fd, 0);
        sendText(fd, c.request);
        EXPECT_EQ(readUntilClosed(fd), c.answer) << c.name;
        ::close(fd);
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

// A server that answers before it has read the request and closes on the rest resets the connection: its
// answer still reaches the client, every time. So do the last bytes of a client that resets.
TEST_F(ConnectProxyTest, WhatArrivedBeforeAResetCrosses) {
    tesmar_testing::TestTcpServer early({.echo = false,
                                         .greeting = "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 9\r\n"
                                                     "Connection: close\r\n\r\ntoo large",
                                         .closeAfterBytes = 1,
                                         .resetOnClose = true});
    tesmar_testing::TestTcpServer quiet({.echo = false});
    ConnectProxy proxy({{"early.example.test:80", "127.0.0.1:" + std::to_string(early.port())},
                        {"quiet.example.test:443", "127.0.0.1:" + std::to_string(quiet.port())}});
    for (int i = 0; i < 50; ++i) {
        auto got = fetch("http://early.example.test/upload", proxy, {.postBody = std::string(1u << 20, 'u')});
        ASSERT_EQ(got.status, 413) << "run " << i << ": " << curl_easy_strerror(got.code);
        EXPECT_EQ(got.body, "too large");
    }
    for (size_t i = 0; i < 50; ++i) {
        int fd = connectRaw(proxy.port());
        ASSERT_GE(fd, 0);
        sendText(fd, authentication(proxy) + tunnelTo("quiet.example.test"));
        ASSERT_EQ(readBytes(fd, kAuthenticated.size() + answer(0).size()), kAuthenticated + answer(0));
        sendText(fd, "last words");
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
        ASSERT_TRUE(quiet.waitUntil([i](const auto& records) { return records.size() > i && records[i].peerEnded; }));
        ASSERT_EQ(quiet.connection(i).received, "last words") << "run " << i;
    }
}

// Any local process may connect. However many wait without signing in, they cost no thread each and take
// none of the engine's places, and each is closed soon.
TEST_F(ConnectProxyTest, ClientsThatDoNotSignInCannotCrowdOutTheEngine) {
    plain->route("GET", "/page", Reply::text("plain page"));
    ConnectProxy proxy(mapping());
    const size_t threadsBefore = entriesIn("/proc/self/task");
    std::vector<int> idle;
    for (int i = 0; i < 600; ++i) {
        idle.push_back(connectRaw(proxy.port()));
        ASSERT_GE(idle.back(), 0);
    }
    auto got = fetch("http://site.example.test/page", proxy);
    EXPECT_EQ(got.body, "plain page") << curl_easy_strerror(got.code);
    EXPECT_LT(entriesIn("/proc/self/task"), threadsBefore + 64);
    // The newest too is closed, once its time is up.
    EXPECT_EQ(readUntilClosed(idle.back()), "");
    for (int fd : idle) ::close(fd);
}

// Every first handshake to a host waits for the check, including one that comes while it runs.
TEST_F(ConnectProxyTest, HandshakesWaitUntilTheCertificateCheckIsOver) {
    secure->route("GET", "/page", Reply::text("secure page"));
    std::promise<std::function<void()>> checking;
    std::atomic<int> checks{0};
    ConnectProxy proxy(mapping(),
                       [&](const std::string& host, std::vector<platform::Bytes> chain, std::function<void()> ready) {
                           EXPECT_EQ(host, kSiteHost);
                           EXPECT_EQ(chain.size(), 2u);  // the leaf and its intermediate
                           if (checks++ == 0) checking.set_value(std::move(ready));
                       });
    std::atomic<bool> released{false};
    auto client = [&] {
        auto got = fetch("https://intranet.example.test/page", proxy, {.caFile = rootFile});
        EXPECT_TRUE(released) << "handshake went on before the check was over";
        EXPECT_EQ(got.body, "secure page") << curl_easy_strerror(got.code);
    };
    std::thread first(client);
    auto ready = checking.get_future().get();
    std::thread second(client);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    released = true;
    ready();
    first.join();
    second.join();
    EXPECT_EQ(checks, 1);
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
        sendText(fd, authentication(*proxy) + tunnelTo("held.example.test"));
        EXPECT_EQ(readBytes(fd, kAuthenticated.size() + answer(0).size()), kAuthenticated + answer(0));
        clients.push_back(fd);
    }
    int idle = connectRaw(proxy->port());  // connected, says nothing
    ASSERT_GE(idle, 0);
    clients.push_back(idle);
    int partial = connectRaw(proxy->port());  // half a handshake: the greeting answered, the rest cut short
    ASSERT_GE(partial, 0);
    sendText(partial, authentication(*proxy).substr(0, 5));
    EXPECT_EQ(readBytes(partial, 2), "\x05\x02");
    clients.push_back(partial);

    proxy->stop();
    for (int fd : clients) EXPECT_EQ(readUntilClosed(fd), "");  // closed, not left hanging
    proxy.reset();
    for (int fd : clients) ::close(fd);
    EXPECT_EQ(openDescriptors(), before);
    ::close(listener);
}

}  // namespace
