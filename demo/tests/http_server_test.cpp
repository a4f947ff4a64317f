// The recording server core, driven by a real HTTP client (libcurl's easy interface).
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "demo/Certificates.h"
#include "demo/HttpServer.h"
#include "demo/internal/ByteRange.h"

// Fetch options are written as designated initializers naming only what a case needs.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace std::chrono_literals;
using namespace tesmar_demo;

namespace {

struct FetchOptions {
    std::string method;  // empty: GET, or POST when there is a body
    std::vector<std::string> headers;
    std::optional<std::string> body;
    bool chunkedUpload = false;
    bool decodeContent = false;  // ask for gzip and decode it
    curl_mime* (*mime)(CURL*) = nullptr;
    std::string caFile;
    std::string resolve;  // "host:port:127.0.0.1"
    long timeoutMs = 10000;
    bool checkPattern = false;  // check the body against the pattern instead of keeping it
    uint64_t patternStart = 0;
};

struct Fetched {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    HeaderList headers;
    uint64_t bytes = 0;
    uint64_t patternMismatches = 0;

    std::vector<std::string> values(const std::string& name) const {
        std::vector<std::string> found;
        for (const auto& [k, v] : headers)
            if (headerNamesEqual(k, name)) found.push_back(v);
        return found;
    }
    std::string value(const std::string& name) const {
        auto v = values(name);
        return v.empty() ? "" : v.front();
    }
};

struct Transfer {
    Fetched* out;
    const FetchOptions* options;
    std::string upload;
    size_t uploaded = 0;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t n = size * count;
    if (t->options->checkPattern) {
        for (size_t i = 0; i < n; ++i) {
            if (static_cast<uint8_t>(data[i]) != patternByte(t->options->patternStart + t->out->bytes + i))
                ++t->out->patternMismatches;
        }
    } else {
        t->out->body.append(data, n);
    }
    t->out->bytes += n;
    return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) t->out->headers.clear();  // a new response (after 100 Continue)
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
        t->out->headers.emplace_back(line.substr(0, colon), value);
    }
    return size * count;
}

size_t onUpload(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    // Small pieces, so the body really crosses in several chunks.
    size_t n = std::min({size * count, t->upload.size() - t->uploaded, size_t{7}});
    std::copy_n(t->upload.data() + t->uploaded, n, buffer);
    t->uploaded += n;
    return n;
}

Fetched fetch(const std::string& url, const FetchOptions& options = {}) {
    Fetched out;
    Transfer transfer{&out, &options, options.body.value_or(""), 0};
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    for (const auto& h : options.headers) headers = curl_slist_append(headers, h.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    if (options.decodeContent) curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
    curl_mime* mime = options.mime ? options.mime(curl) : nullptr;
    if (mime) curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    if (options.body) {
        if (options.chunkedUpload) {
            headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
            curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, onUpload);
            curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
        } else {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(options.body->size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, options.body->data());
        }
    }
    if (!options.method.empty()) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, options.method.c_str());
    if (options.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_slist* resolve = nullptr;
    if (!options.resolve.empty()) {
        resolve = curl_slist_append(nullptr, options.resolve.c_str());
        curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
    }
    if (!options.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    out.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
    curl_easy_cleanup(curl);
    curl_mime_free(mime);
    curl_slist_free_all(headers);
    curl_slist_free_all(resolve);
    return out;
}

std::string makeTempDirectory() {
    std::string path = (std::filesystem::temp_directory_path() / "tesmar-server-XXXXXX").string();
    if (!mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed");
    return path;
}

TEST(HttpServer, ScriptsAnswerInTurnAndTheLastRepeats) {
    HttpServer server;
    server.route("GET", "/flaky", {Reply::withStatus(503), Reply::text("first", 500), Reply::text("ok")});
    std::vector<std::pair<long, std::string>> seen;
    for (int i = 0; i < 4; ++i) {
        auto r = fetch(server.url("/flaky"));
        ASSERT_EQ(r.code, CURLE_OK);
        seen.emplace_back(r.status, r.body);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<long, std::string>>{{503, ""}, {500, "first"}, {200, "ok"}, {200, "ok"}}));
    EXPECT_EQ(server.timesServed("GET", "/flaky"), 4u);

    // Registering the route again restarts its script.
    server.route("GET", "/flaky", {Reply::withStatus(503), Reply::text("ok")});
    EXPECT_EQ(fetch(server.url("/flaky")).status, 503);
}

// A load generator's server keeps no records: it answers and counts, and holds nothing per request.
TEST(HttpServer, WithoutRecordingAnswersAndCountsButKeepsNothing) {
    HttpServer::Options options;
    options.record = false;
    HttpServer server(options);
    server.route("GET", "/x", Reply::text("x"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fetch(server.url("/x")).body, "x");
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(server.timesServed("GET", "/x"), 3u);
}

TEST(HttpServer, RecordsTheRequestAsSent) {
    HttpServer server;
    server.route("*", "/echo/*", Reply::text("seen"));

    auto r = fetch(server.url("/echo/a%20b?x=1&y=a%2Fb&y=c+d&flag&&z="), {.headers = {"X-Trace: One", "Cookie: a=1"}});
    ASSERT_EQ(r.code, CURLE_OK);
    FetchOptions post{.headers = {"Content-Type: application/octet-stream"}, .body = std::string("p\0q\r\nrest", 9)};
    ASSERT_EQ(fetch(server.url("/echo/post"), post).status, 200);
    FetchOptions chunked{.method = "PUT", .body = std::string(1000, 'z') + "end", .chunkedUpload = true};
    ASSERT_EQ(fetch(server.url("/echo/chunked"), chunked).status, 200);

    ASSERT_EQ(server.requestCount(), 3u);
    auto requests = server.requests();
    const auto& get = requests[0];
    EXPECT_EQ(get.sequence, 0u);
    EXPECT_EQ(get.method, "GET");
    EXPECT_EQ(get.target, "/echo/a%20b?x=1&y=a%2Fb&y=c+d&flag&&z=");
    EXPECT_EQ(get.rawPath, "/echo/a%20b");
    EXPECT_EQ(get.path, "/echo/a b");
    EXPECT_EQ(get.rawQuery, "x=1&y=a%2Fb&y=c+d&flag&&z=");
    EXPECT_EQ(get.pathParams.at("*"), "a b");
    EXPECT_EQ(get.queryItems, (HeaderList{{"x", "1"}, {"y", "a/b"}, {"y", "c d"}, {"flag", ""}, {"z", ""}}));
    EXPECT_EQ(get.header("x-trace"), "One");
    EXPECT_EQ(get.headerValues("cookie"), std::vector<std::string>{"a=1"});
    EXPECT_FALSE(get.hasHeader("REMOTE_ADDR"));
    EXPECT_FALSE(get.header("Content-Length").has_value());
    EXPECT_EQ(get.remoteAddress, "127.0.0.1");
    EXPECT_GT(get.remotePort, 0);
    EXPECT_FALSE(get.secure);

    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, std::string("p\0q\r\nrest", 9));
    EXPECT_EQ(requests[2].method, "PUT");
    EXPECT_EQ(requests[2].header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(requests[2].body, std::string(1000, 'z') + "end");

    server.clearRequests();
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST(HttpServer, RoutesMatchByMethodAndPattern) {
    HttpServer server;
    server.route("GET", "/items/:id", Reply::text("item"));
    server.route("GET", "/items/special", Reply::text("special"));
    server.route("POST", "/items/:id", Reply::text("posted", 201));
    server.route("GET", "/api/:version/files/*", Reply::dynamic([](const RecordedRequest& r, Reply& reply) {
                     reply = Reply::text(r.pathParams.at("version") + "|" + r.pathParams.at("*"));
                 }));

    struct Case {
        std::string method, path;
        long status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"GET", "/items/7", 200, "item"},      {"GET", "/items/special", 200, "special"},  // added later, so it wins
        {"POST", "/items/7", 201, "posted"},   {"DELETE", "/items/7", 404, ""},
        {"GET", "/items/", 404, ""},  // ":id" needs a segment
        {"GET", "/items/7/more", 404, ""},     {"GET", "/api/v2/files/a/b.txt", 200, "v2|a/b.txt"},
        {"GET", "/api/v2/files/", 200, "v2|"}, {"GET", "/nowhere", 404, ""},
    };
    for (const auto& c : cases) {
        FetchOptions options{.method = c.method};
        if (c.method == "POST") options.body = "x";
        auto r = fetch(server.url(c.path), options);
        EXPECT_EQ(r.code, CURLE_OK) << c.method << " " << c.path;
        EXPECT_EQ(r.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(r.body, c.body) << c.method << " " << c.path;
    }
    // Unmatched requests are recorded too.
    EXPECT_EQ(server.requestsTo("/nowhere").size(), 1u);
    EXPECT_EQ(server.requestCount(), cases.size());

    // A GET route answers HEAD with the headers only.
    auto head = fetch(server.url("/items/1"), {.method = "HEAD"});
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.value("Content-Length"), "4");
    EXPECT_EQ(server.requests().back().method, "HEAD");
}

TEST(HttpServer, RawAndFallbackHandlersGetTheWholeExchange) {
    HttpServer server;
    server.routeRaw("GET", "/raw/:name", [](const RecordedRequest& r, const httplib::Request&, httplib::Response& res) {
        res.status = 202;
        res.set_content("hi " + r.pathParams.at("name"), "text/plain");
    });
    server.setFallbackHandler([&server](const RecordedRequest& r, const httplib::Request& req, httplib::Response& res) {
        server.answer(r, req, res, Reply::text("fallback for " + r.path, 410));
    });
    auto raw = fetch(server.url("/raw/ann"));
    EXPECT_EQ(raw.status, 202);
    EXPECT_EQ(raw.body, "hi ann");
    auto other = fetch(server.url("/x/y"));
    EXPECT_EQ(other.status, 410);
    EXPECT_EQ(other.body, "fallback for /x/y");
}

TEST(HttpServer, SendsRepeatedHeadersAndRedirects) {
    HttpServer server;
    server.route("GET", "/login",
                 Reply::redirect("/home?from=login", 303)
                     .header("Set-Cookie", "session=abc; Path=/")
                     .header("Set-Cookie", "theme=dark; Path=/; HttpOnly"));
    auto r = fetch(server.url("/login"));
    ASSERT_EQ(r.code, CURLE_OK);
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.value("Location"), "/home?from=login");
    EXPECT_EQ(r.values("Set-Cookie"),
              (std::vector<std::string>{"session=abc; Path=/", "theme=dark; Path=/; HttpOnly"}));
}

TEST(HttpServer, WaitForRequestsIsBounded) {
    HttpServer server;
    EXPECT_FALSE(server.waitForRequests(1, 30ms));
    auto pending = std::async(std::launch::async, [&] { return fetch(server.url("/a")).status; });
    EXPECT_TRUE(server.waitForRequests(1, 10s));
    EXPECT_TRUE(server.waitUntil([](const auto& rs) { return !rs.empty() && rs[0].path == "/a"; }, 10s));
    EXPECT_EQ(pending.get(), 404);
}

TEST(HttpServer, DroppedConnectionIsAnErrorNotAStatus) {
    HttpServer server;
    server.route("GET", "/drop", {Reply::drop(), Reply::text("back")});
    auto dropped = fetch(server.url("/drop"));
    EXPECT_NE(dropped.code, CURLE_OK);
    EXPECT_EQ(dropped.status, 0);
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(fetch(server.url("/drop")).body, "back");
}

TEST(HttpServer, HeldAnswersWaitForTheGate) {
    HttpServer server;
    auto gate = Gate::make();
    server.route("GET", "/held", Reply::text("released").heldBy(gate));
    auto pending = std::async(std::launch::async, [&] { return fetch(server.url("/held")); });
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout);
    gate->open();
    auto r = pending.get();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "released");
}

TEST(HttpServer, StoppingReleasesHeldAnswersAsDroppedConnections) {
    auto server = std::make_unique<HttpServer>();
    server->route("GET", "/held", Reply::text("never").heldBy(Gate::make()));
    server->route("GET", "/slow", Reply::text("never").after(1h));
    auto held = std::async(std::launch::async, [url = server->url("/held")] { return fetch(url); });
    auto slow = std::async(std::launch::async, [url = server->url("/slow")] { return fetch(url); });
    ASSERT_TRUE(server->waitForRequests(2));
    server.reset();
    EXPECT_NE(held.get().code, CURLE_OK);
    EXPECT_NE(slow.get().code, CURLE_OK);
}

TEST(HttpServer, StopsPromptlyWithAKeptAliveConnection) {
    auto server = std::make_unique<HttpServer>();
    server->route("GET", "/", Reply::text("x"));
    CURL* curl = curl_easy_init();
    std::string url = server->url("/");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
    ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
    ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
    auto requests = server->requests();
    EXPECT_EQ(requests[0].remotePort, requests[1].remotePort);  // one connection, still open
    auto start = std::chrono::steady_clock::now();
    server.reset();
    // Well under the five-second keep-alive a worker would otherwise wait out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    curl_easy_cleanup(curl);
}

TEST(HttpServer, DelaysAnswerLater) {
    HttpServer server;
    server.route("GET", "/late", Reply::text("late").after(80ms));
    auto start = std::chrono::steady_clock::now();
    auto r = fetch(server.url("/late"));
    EXPECT_EQ(r.body, "late");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 80ms);
}

TEST(HttpServer, StreamsALargeBodyWithoutHoldingIt) {
    HttpServer server;
    constexpr uint64_t size = 50ull * 1024 * 1024 + 3;
    server.route("GET", "/big", Reply::streamed(size));
    auto r = fetch(server.url("/big"), {.timeoutMs = 120000, .checkPattern = true});
    ASSERT_EQ(r.code, CURLE_OK);
    EXPECT_EQ(r.value("Content-Length"), std::to_string(size));
    EXPECT_EQ(r.bytes, size);
    EXPECT_EQ(r.patternMismatches, 0u);

    server.route("GET", "/chunked", Reply::streamed(3 * 1024 * 1024 + 11, false));
    auto c = fetch(server.url("/chunked"), {.checkPattern = true});
    ASSERT_EQ(c.code, CURLE_OK);
    EXPECT_EQ(c.value("Transfer-Encoding"), "chunked");
    EXPECT_EQ(c.bytes, 3u * 1024 * 1024 + 11);
    EXPECT_EQ(c.patternMismatches, 0u);
}

TEST(HttpServer, StreamsCutShortOrStalled) {
    HttpServer server;
    auto cut = Reply::streamed(1 << 20);
    cut.stream->dropAfter = 100000;
    server.route("GET", "/cut", cut);
    auto r = fetch(server.url("/cut"), {.checkPattern = true});
    EXPECT_EQ(r.code, CURLE_PARTIAL_FILE);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.bytes, 100000u);

    auto gate = Gate::make();
    auto stalled = Reply::streamed(200000);
    stalled.stream->pauseAt = 150000;
    stalled.stream->pauseGate = gate;
    server.route("GET", "/stall", stalled);
    auto pending = std::async(std::launch::async, [&] { return fetch(server.url("/stall"), {.checkPattern = true}); });
    ASSERT_TRUE(server.waitForRequests(2));
    EXPECT_EQ(pending.wait_for(0s), std::future_status::timeout);
    gate->open();
    auto s = pending.get();
    EXPECT_EQ(s.code, CURLE_OK);
    EXPECT_EQ(s.bytes, 200000u);
    EXPECT_EQ(s.patternMismatches, 0u);
}

TEST(HttpServer, AnswersRangeRequests) {
    HttpServer server;
    std::string text(1000, '\0');
    fillPattern(0, text.data(), text.size());
    server.route("GET", "/memory",
                 Reply::text(text, 200, "application/octet-stream").withRanges().header("ETag", "\"v1\""));
    server.route("GET", "/stream", Reply::streamed(1000).header("ETag", "\"v1\"").withRanges());
    server.route("GET", "/plain", Reply::text(text, 200, "application/octet-stream"));

    struct Case {
        std::vector<std::string> headers;
        long status;
        uint64_t first, length;
        std::string contentRange;
    };
    const std::vector<Case> cases = {
        {{"Range: bytes=0-99"}, 206, 0, 100, "bytes 0-99/1000"},
        {{"Range: bytes=900-"}, 206, 900, 100, "bytes 900-999/1000"},
        {{"Range: bytes=-10"}, 206, 990, 10, "bytes 990-999/1000"},
        {{"Range: bytes=990-5000"}, 206, 990, 10, "bytes 990-999/1000"},
        {{"Range: bytes=-5000"}, 206, 0, 1000, "bytes 0-999/1000"},
        {{"Range: bytes=1000-"}, 416, 0, 0, "bytes */1000"},
        {{"Range: bytes=0-1,5-6"}, 200, 0, 1000, ""},
        {{"Range: bytes=9-3"}, 200, 0, 1000, ""},
        {{"Range: items=0-9"}, 200, 0, 1000, ""},
        {{"Range: bytes=10-19", "If-Range: \"v1\""}, 206, 10, 10, "bytes 10-19/1000"},
        {{"Range: bytes=10-19", "If-Range: \"v0\""}, 200, 0, 1000, ""},
    };
    for (const std::string path : {"/memory", "/stream"}) {
        for (const auto& c : cases) {
            auto r = fetch(server.url(path), {.headers = c.headers, .checkPattern = true, .patternStart = c.first});
            std::string label = path + " " + c.headers[0];
            ASSERT_EQ(r.code, CURLE_OK) << label;
            EXPECT_EQ(r.status, c.status) << label;
            EXPECT_EQ(r.bytes, c.length) << label;
            EXPECT_EQ(r.patternMismatches, 0u) << label;
            EXPECT_EQ(r.value("Content-Range"), c.contentRange) << label;
            EXPECT_EQ(r.value("Accept-Ranges"), "bytes") << label;
        }
    }
    // Without range support the whole body comes back, whatever the client asks.
    auto whole = fetch(server.url("/plain"), {.headers = {"Range: bytes=0-9"}, .checkPattern = true});
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.bytes, 1000u);
    EXPECT_EQ(whole.value("Accept-Ranges"), "");
    // Every request was recorded, those whose Range header cpp-httplib itself refuses included.
    EXPECT_EQ(server.requestCount(), 2 * cases.size() + 1);
}

TEST(HttpServer, GzipsOnlyWhenTheScriptSays) {
    HttpServer server;
    std::string text;
    for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + "\n";
    server.route("GET", "/zipped", Reply::text(text).gzipped());
    server.route("GET", "/asis", Reply::json("{\"a\":1}"));

    auto decoded = fetch(server.url("/zipped"), {.decodeContent = true});
    EXPECT_EQ(decoded.value("Content-Encoding"), "gzip");
    EXPECT_EQ(decoded.body, text);
    auto raw = fetch(server.url("/zipped"));
    EXPECT_LT(raw.body.size(), text.size());
    EXPECT_EQ(gzipDecompress(raw.body), text);
    EXPECT_EQ(gzipDecompress(raw.body.substr(0, raw.body.size() / 2)), std::nullopt);

    auto plain = fetch(server.url("/asis"), {.decodeContent = true});
    EXPECT_EQ(plain.value("Content-Encoding"), "");
    EXPECT_EQ(plain.body, "{\"a\":1}");
    EXPECT_EQ(plain.value("Content-Type"), "application/json");
}

TEST(HttpServer, ExposesMultipartParts) {
    HttpServer server;
    server.route("POST", "/upload", Reply::text("stored", 201));
    auto r = fetch(server.url("/upload"), {.mime = [](CURL* curl) {
                       curl_mime* mime = curl_mime_init(curl);
                       curl_mimepart* field = curl_mime_addpart(mime);
                       curl_mime_name(field, "title");
                       curl_mime_data(field, "Holiday", CURL_ZERO_TERMINATED);
                       curl_mimepart* file = curl_mime_addpart(mime);
                       curl_mime_name(file, "photo");
                       curl_mime_filename(file, "beach.jpg");
                       curl_mime_type(file, "image/jpeg");
                       curl_mime_data(file, "\xff\xd8\x00\x01", 4);
                       return mime;
                   }});
    ASSERT_EQ(r.status, 201);
    auto recorded = server.requests().at(0);
    ASSERT_EQ(recorded.parts.size(), 2u);
    ASSERT_NE(recorded.part("title"), nullptr);
    EXPECT_EQ(recorded.part("title")->content, "Holiday");
    EXPECT_EQ(recorded.part("title")->filename, "");
    const auto* photo = recorded.part("photo");
    ASSERT_NE(photo, nullptr);
    EXPECT_EQ(photo->filename, "beach.jpg");
    EXPECT_EQ(photo->contentType, "image/jpeg");
    EXPECT_EQ(photo->content, std::string("\xff\xd8\x00\x01", 4));
}

TEST(HttpServer, ServesTlsWithATestChain) {
    std::string dir = makeTempDirectory();
    auto pki = ServerPKI::make("localhost");
    auto files = writeServerFiles(dir, pki.leaf, {&pki.intermediate});
    std::string rootPath = writePEMFile(dir + "/root.pem", pki.root.certificatePEM);
    {
        HttpServer server(files.certificateChainPath, files.privateKeyPath);
        EXPECT_EQ(server.baseURL(), "https://127.0.0.1:" + std::to_string(server.port()));
        server.route("GET", "/secure", {Reply::text("over tls"), Reply::drop()});
        FetchOptions options{.caFile = rootPath,
                             .resolve = "localhost:" + std::to_string(server.port()) + ":127.0.0.1"};
        std::string url = "https://localhost:" + std::to_string(server.port()) + "/secure";
        auto r = fetch(url, options);
        ASSERT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
        EXPECT_EQ(r.body, "over tls");
        EXPECT_TRUE(server.requests().at(0).secure);

        auto dropped = fetch(url, options);
        EXPECT_NE(dropped.code, CURLE_OK);
        EXPECT_EQ(dropped.status, 0);

        // A client that trusts another root refuses the server, which still records nothing.
        auto unrelated = makeSelfSigned(authoritySpec("Tesmar Unrelated Root CA", 24L * 3600));
        std::string otherRoot = writePEMFile(dir + "/other.pem", unrelated.certificatePEM);
        auto refused = fetch(url, {.caFile = otherRoot, .resolve = options.resolve});
        EXPECT_EQ(refused.code, CURLE_PEER_FAILED_VERIFICATION);
        EXPECT_EQ(server.requestCount(), 2u);
    }
    EXPECT_THROW(HttpServer(dir + "/missing.pem", files.privateKeyPath), std::runtime_error);
    std::filesystem::remove_all(dir);
}

TEST(ByteRange, InterpretsSingleRanges) {
    using Kind = ByteRangeAnswer::Kind;
    struct Case {
        std::string header;
        uint64_t total;
        Kind kind;
        uint64_t first, last;
    };
    const std::vector<Case> cases = {
        {"bytes=0-0", 10, Kind::Partial, 0, 0},
        {" bytes = 2 - 4 ", 10, Kind::Whole, 0, 0},
        {"bytes=2-4", 10, Kind::Partial, 2, 4},
        {"bytes=-1", 10, Kind::Partial, 9, 9},
        {"bytes=-0", 10, Kind::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, Kind::Unsatisfiable, 0, 0},
        {"bytes=-5", 0, Kind::Unsatisfiable, 0, 0},
        {"bytes=a-b", 10, Kind::Whole, 0, 0},
        {"bytes=", 10, Kind::Whole, 0, 0},
        {"bytes=99999999999999999999-", 10, Kind::Whole, 0, 0},
        {"", 10, Kind::Whole, 0, 0},
    };
    for (const auto& c : cases) {
        auto a = answerRange(c.header, c.total);
        EXPECT_EQ(a.kind, c.kind) << c.header;
        if (c.kind == Kind::Partial) {
            EXPECT_EQ(a.first, c.first) << c.header;
            EXPECT_EQ(a.last, c.last) << c.header;
        }
    }
}

}  // namespace
