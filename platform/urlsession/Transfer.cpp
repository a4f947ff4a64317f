// The transfer side of the engine: curl easy setup, curl callbacks, delegate decisions, completion.
#include "platform/urlsession/internal/Transfer.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <random>

#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/security/Trust.h"
#include "platform/urlsession/URLCredentialStorage.h"
#include "platform/urlsession/URLError.h"
#include "platform/urlsession/internal/CacheGlue.h"
#include "platform/urlsession/internal/CookieGlue.h"
#include "platform/urlsession/internal/ResumeData.h"
#include "platform/urlsession/internal/StreamConnection.h"

namespace platform::urlsession_detail {

namespace {

constexpr int kMaxRedirects = 16;
// Body bytes waiting on the delegate queue: pause the transfer above the high mark, continue below the low.
constexpr int64_t kHighWater = 8 << 20;
constexpr int64_t kLowWater = 2 << 20;
// Body bytes kept while the delegate decides on a response, a redirect or a challenge.
constexpr size_t kHeldWhileDeciding = 64 << 10;

SteadyTime now() { return std::chrono::steady_clock::now(); }


bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

URLErrorCode codeForCurl(CURLcode c) {
    switch (c) {
        case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorCode::UnsupportedURL;
        case CURLE_URL_MALFORMAT: return URLErrorCode::BadURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return URLErrorCode::CannotFindHost;
        case CURLE_COULDNT_CONNECT: return URLErrorCode::CannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT: return URLErrorCode::TimedOut;
        case CURLE_TOO_MANY_REDIRECTS: return URLErrorCode::HTTPTooManyRedirects;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return URLErrorCode::NetworkConnectionLost;
        case CURLE_GOT_NOTHING: return URLErrorCode::NetworkConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY: return URLErrorCode::BadServerResponse;
        case CURLE_BAD_CONTENT_ENCODING: return URLErrorCode::CannotDecodeContentData;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        // A client certificate of our own that could not be used: the server never saw it.
        case CURLE_SSL_CERTPROBLEM:
            return URLErrorCode::SecureConnectionFailed;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE: return URLErrorCode::ServerCertificateUntrusted;
        case CURLE_SSL_CLIENTCERT:
            return URLErrorCode::ClientCertificateRejected;
        case CURLE_ABORTED_BY_CALLBACK: return URLErrorCode::Cancelled;
        case CURLE_WRITE_ERROR: return URLErrorCode::CannotWriteToFile;
        case CURLE_READ_ERROR: return URLErrorCode::CannotOpenFile;
        default: return URLErrorCode::Unknown;
    }
}

URLErrorCode codeForVerifyError(int v) {
    switch (v) {
        case X509_V_ERR_CERT_HAS_EXPIRED: return URLErrorCode::ServerCertificateHasBadDate;
        case X509_V_ERR_CERT_NOT_YET_VALID: return URLErrorCode::ServerCertificateNotYetValid;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: return URLErrorCode::ServerCertificateHasUnknownRoot;
        default: return URLErrorCode::ServerCertificateUntrusted;
    }
}

// curl's code, corrected by what the TLS handshake showed. A server that asked for a client
// certificate and then ended the connection before answering refused us for lacking one: under TLS 1.2
// the handshake fails; under TLS 1.3 our side of the handshake is already done and curl reports a
// failed read or write (the server's alert is often lost to the reset of the connection).
URLErrorCode codeForFailedHop(const Transfer& t, CURLcode code) {
    URLErrorCode byCurl = codeForCurl(code);
    bool connectionEnded =
        byCurl == URLErrorCode::NetworkConnectionLost || byCurl == URLErrorCode::SecureConnectionFailed;
    if (t.clientCertificateRequested && !t.response && connectionEnded)
        return URLErrorCode::ClientCertificateRejected;
    return byCurl;
}

std::string base64(const std::string& in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(in.data()), int(in.size()));
    out.resize(size_t(n));
    return out;
}

std::string temporaryPath() {
    auto dir = FileManager::defaultManager().temporaryDirectory();
    if (dir.empty()) dir = std::filesystem::temp_directory_path().string() + "/";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    static std::atomic<uint64_t> counter{0};
    std::random_device rd;
    return dir + "URLSessionDownload_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
           std::to_string(rd()) + ".tmp";
}

std::optional<Date> dateAt(const Date& start, CURL* easy, CURLINFO info) {
    curl_off_t us = 0;
    if (curl_easy_getinfo(easy, info, &us) != CURLE_OK || us <= 0) return std::nullopt;
    return start.addingTimeInterval(double(us) / 1e6);
}

// --- Shared state of a delegate decision the engine thread waits for (server trust). ---
struct TrustAnswer {
    std::mutex m;
    std::condition_variable cv;
    bool answered = false;
    URLSessionAuthChallengeDisposition disposition = URLSessionAuthChallengeDisposition::PerformDefaultHandling;
    std::optional<URLCredential> credential;
};

}  // namespace

Transfer::~Transfer() { releaseEasy(); }

void Transfer::releaseEasy() {
    if (easy) {
        if (inMulti) curl_multi_remove_handle(engine->multi(), easy);
        inMulti = false;
        curl_easy_cleanup(easy);
        easy = nullptr;
    }
    if (headerList) curl_slist_free_all(headerList);
    if (connectTo) curl_slist_free_all(connectTo);
    headerList = connectTo = nullptr;
    if (file) {
        fclose(file);
        file = nullptr;
    }
}

// The task's time-outs: idle time between bytes (the request's own when it set one, else the
// session's), and the whole resource, redirects included, kept here rather than by curl (a curl
// time-out per transfer costs timer work on every request and would restart at each redirect).
void Transfer::startClocks(const URLSessionConfiguration& config) {
    taskStart = Date::now();
    idleTimeout = request.timeoutInterval() != 60.0 ? request.timeoutInterval() : config.timeoutIntervalForRequest;
    if (!(idleTimeout > 0)) idleTimeout = 60;
    const double resource = config.timeoutIntervalForResource;
    if (resource > 0 && resource < 1e9)
        resourceDeadline = now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(resource));
}

// ---------------------------------------------------------------- curl callbacks


class TransferOps {
public:
    static void startHop(Engine* e, Transfer* t);
    static void configureHop(const URLSessionConfiguration& config, Transfer* t);
    static void addHop(Engine* e, Transfer* t);
    static bool chooseBody(Transfer* t);
    static void prepareBodyThenStart(Engine* e, Transfer* t);
    static void onHead(Transfer* t);
    static void handleResponse(Transfer* t);
    static void curlDone(Engine* e, Transfer* t, CURLcode code);
    static void recordHopMetrics(Transfer* t);
    static bool verifyTrust(Transfer* t, X509_STORE_CTX* ctx);
    static size_t onHeader(char* buffer, size_t size, size_t count, void* user);
    static size_t onWrite(char* ptr, size_t size, size_t count, void* user);
    static size_t onRead(char* buffer, size_t size, size_t count, void* user);
    static CURLcode onSSLContext(CURL*, void* sslctx, void* user);
    static int verifyCallback(X509_STORE_CTX* ctx, void* arg);
    static void reportProgress(Transfer* t);
    static void bodyMayFlow(Engine* e, Transfer* t);
    static void answerFromCache(Engine* e, Transfer* t, CachedURLResponse cached);
    static void keepForCache(Transfer* t, const char* ptr, size_t len);
    static bool offerToCache(Engine* e, Transfer* t);
    static void cacheAnswered(Engine* e, uint64_t id, std::optional<CachedURLResponse> answer);
};

// One progress report in flight at a time, carrying every byte written since the last; when it has
// been delivered, whatever was written meanwhile is reported next.
void TransferOps::reportProgress(Transfer* t) {
    Engine* e = t->engine;
    auto d = e->delegate();
    if (t->unreportedBytes == 0 || t->extras.downloadCompletion || !d ||
        !d->implements(URLSessionDelegateMethod::DownloadTaskDidWriteData) || t->progressInFlight->exchange(true))
        return;
    auto session = e->sessionRef();
    auto dl = std::static_pointer_cast<URLSessionDownloadTask>(t->task);
    int64_t bytes = t->unreportedBytes, total = t->written;
    int64_t expected = t->response ? t->response->expectedContentLength() : -1;
    if (expected >= 0) expected += t->resumeOffset;
    t->unreportedBytes = 0;
    auto flag = t->progressInFlight;
    auto weakEngine = e->weak_from_this();
    auto id = dl->taskIdentifier();
    e->deliver([d, session, dl, bytes, total, expected, flag, weakEngine, e, id] {
        if (session) d->didWriteData(session, dl, bytes, total, expected);
        flag->store(false);
        if (auto eng = weakEngine.lock())
            eng->post([e, id] {
                auto it = e->transfers_.find(id);
                if (it != e->transfers_.end()) reportProgress(it->second.get());
            });
    });
}

void Engine::beginTransfer(std::shared_ptr<URLSessionTask> task, TaskExtras extras) {
    auto request = task->currentRequest();
    std::optional<URL> url = request ? request->url() : std::nullopt;
    auto cached = request ? lookUpCache(config_, *request, !extras.resumeData) : CacheLookup{};
    if (!cached.answer && !cached.unavailable && !PlatformConfig::networkUp())
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::NotConnectedToInternet, url));
    if (extras.resumeData && !request) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL));
    if (!url || url->isEmpty()) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL, url));
    auto scheme = url->scheme().value_or("");
    if (scheme != "http" && scheme != "https")
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::UnsupportedURL, url));
    if (url->host().value_or("").empty()) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL, url));
    if (cached.unavailable)
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::ResourceUnavailable, url));

    auto t = std::make_unique<Transfer>();
    t->engine = this;
    t->task = task;
    t->extras = std::move(extras);
    t->request = *request;
    if (t->extras.resumeData) {
        auto info = ResumeInfo::decode(*t->extras.resumeData);
        if (!info) return completeWithoutTransfer(task, makeURLError(URLErrorCode::BadURL, url));
        std::error_code ec;
        auto size = std::filesystem::file_size(info->tempPath, ec);
        if (ec) return completeWithoutTransfer(task, makeURLError(URLErrorCode::CannotOpenFile, url));
        t->filePath = info->tempPath;
        t->resumeOffset = int64_t(size);
        t->etag = info->etag;
        t->lastModified = info->lastModified;
        t->request.setValue("bytes=" + std::to_string(size) + "-", "Range");
        if (!info->etag.empty())
            t->request.setValue(info->etag, "If-Range");
        else if (!info->lastModified.empty())
            t->request.setValue(info->lastModified, "If-Range");
    }
    t->startClocks(config_);
    Transfer* raw = t.get();
    transfers_[task->taskIdentifier()] = std::move(t);
    if (!keepAlive_) keepAlive_ = sessionRef();
    if (cached.answer) return TransferOps::answerFromCache(this, raw, std::move(*cached.answer));
    TransferOps::prepareBodyThenStart(this, raw);
}

// Sets up the request body the hop sends, when it is at hand (none, data, a file, the request's
// stream on the first hop). False when the file is missing or the delegate must supply a stream.
bool TransferOps::chooseBody(Transfer* t) {
    t->bodyStream.reset();
    t->bodyLength = -1;
    t->bodySent = 0;
    const auto& req = t->request;
    if (req.HTTPMethod() == "GET" || req.HTTPMethod() == "HEAD") return true;
    if (t->extras.uploadData) {
        t->bodyStream = InputStream::withData(*t->extras.uploadData);
        t->bodyLength = int64_t(t->extras.uploadData->size());
    } else if (t->extras.uploadFile) {
        std::error_code ec;
        auto size = std::filesystem::file_size(*t->extras.uploadFile, ec);
        if (ec) return false;
        t->bodyStream = InputStream::withFileAtPath(*t->extras.uploadFile);
        t->bodyLength = int64_t(size);
    } else if (req.HTTPBody()) {
        t->bodyStream = InputStream::withData(*req.HTTPBody());
        t->bodyLength = int64_t(req.HTTPBody()->size());
    } else if (req.HTTPBodyStream() && t->redirects == 0) {
        t->bodyStream = req.HTTPBodyStream();
    } else if (t->extras.streamedUpload || req.HTTPBodyStream()) {
        return false;
    } else {
        t->bodyLength = 0;
    }
    return true;
}

// Any thread. A plain first hop (valid http(s) URL, network up, nothing from the cache, no resume
// data, a body at hand) is made here, easy handle included, so the engine thread only has to add it.
// Null when the start needs the engine; startTask then does all of it there.
std::unique_ptr<Transfer> Engine::prepareStart(const std::shared_ptr<URLSessionTask>& task) {
    auto request = task->currentRequest();
    if (!request || !request->url() || !PlatformConfig::networkUp()) return nullptr;
    const URL& url = *request->url();
    auto scheme = url.scheme().value_or("");
    if ((scheme != "http" && scheme != "https") || url.host().value_or("").empty()) return nullptr;
    auto extras = extrasFor(task->taskIdentifier());
    if (extras.resumeData) return nullptr;
    auto cached = lookUpCache(config_, *request, true);
    if (cached.answer || cached.unavailable) return nullptr;
    auto t = std::make_unique<Transfer>();
    t->engine = this;
    t->task = task;
    t->extras = std::move(extras);
    t->request = std::move(*request);
    t->startClocks(config_);
    if (!TransferOps::chooseBody(t.get())) return nullptr;
    TransferOps::configureHop(config_, t.get());
    return t;
}

// Engine thread: a transfer prepareStart made joins the engine, unless its task ended meanwhile (a
// cancel may overtake the start it was made for).
void Engine::installPrepared(std::unique_ptr<Transfer> t) {
    auto state = t->task->state();
    if (state == URLSessionTaskState::Completed) return;
    if (state == URLSessionTaskState::Canceling)
        return completeWithoutTransfer(t->task, makeURLError(URLErrorCode::Cancelled, t->request.url()));
    Transfer* raw = t.get();
    transfers_[raw->task->taskIdentifier()] = std::move(t);
    if (!keepAlive_) keepAlive_ = sessionRef();
    TransferOps::addHop(this, raw);
}

void TransferOps::prepareBodyThenStart(Engine* e, Transfer* t) {
    if (chooseBody(t)) return startHop(e, t);
    auto url = t->request.url();
    if (t->extras.uploadFile) return e->finish(t, makeURLError(URLErrorCode::FileDoesNotExist, url));
    // Ask the delegate for a stream; the transfer waits (no easy handle yet) until it answers.
    {
        auto d = e->delegate();
        auto session = e->sessionRef();
        if (!d || !session || !d->implements(URLSessionDelegateMethod::TaskNeedNewBodyStream))
            return e->finish(t, makeURLError(URLErrorCode::CannotOpenFile, url));
        auto task = t->task;
        auto id = task->taskIdentifier();
        Engine* engine = e;
        auto weakEngine = e->weak_from_this();
        e->deliver([d, session, task, id, weakEngine, engine] {
            auto once = std::make_shared<std::atomic<bool>>(false);
            d->needNewBodyStream(session, task, [once, id, weakEngine, engine](std::shared_ptr<InputStream> stream) {
                if (once->exchange(true)) return;
                auto eng = weakEngine.lock();
                if (!eng) return;
                eng->post([engine, id, stream] {
                    auto it = engine->transfers_.find(id);
                    if (it == engine->transfers_.end() || it->second->easy) return;
                    Transfer* t = it->second.get();
                    if (!stream) return engine->finish(t, makeURLError(URLErrorCode::CannotOpenFile, t->request.url()));
                    t->bodyStream = stream;
                    startHop(engine, t);
                });
            });
        });
    }
}

// Builds the hop's easy handle; touches nothing of the engine's, so a first hop can be made on the
// thread that resumes the task.
void TransferOps::configureHop(const URLSessionConfiguration& config, Transfer* t) {
    const auto& req = t->request;
    const URL& url = *req.url();
    // A URL answers its parts by parsing its text: read them once per hop.
    t->host = url.host().value_or("");
    const bool secure = url.scheme() == "https";
    const int port = url.port().value_or(secure ? 443 : 80);
    t->phase = Transfer::Phase::Headers;
    t->status = 0;
    t->headers = {};
    t->setCookies.clear();
    t->response.reset();
    t->clientCertificateRequested = false;
    t->doneWhileWaiting.reset();
    t->decisionPaused = false;
    t->held.clear();
    t->hopStart = Date::now();
    t->lastActivity = now();

    CURL* c = curl_easy_init();
    t->easy = c;
    curl_easy_setopt(c, CURLOPT_URL, url.absoluteString().c_str());
    curl_easy_setopt(c, CURLOPT_PRIVATE, t);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // decode what we accept; a caller's header still wins
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(t->idleTimeout * 1000));
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // Downloads go to disk in large writes: fewer callbacks and system calls per megabyte.
    if (t->task->kind() == URLSessionTask::Kind::Download) curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);

    const auto& method = req.HTTPMethod();
    if (t->bodyStream) {
        if (t->bodyStream->streamStatus() == StreamStatus::NotOpen) t->bodyStream->open();
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(c, CURLOPT_READDATA, t);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t->bodyLength));
        if (method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
        std::lock_guard lock(t->task->mutex_);
        t->task->expectedToSend_ = t->bodyLength >= 0 ? t->bodyLength : kURLSessionTransferSizeUnknown;
    } else if (method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (method == "GET") {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (method == "POST") {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(0));
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, "");
    } else {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    // Header fields: the request's own, then the session's additional ones it does not set.
    HTTPHeaderFields fields = req.allHTTPHeaderFields();
    if (const auto* extra = config.HTTPAdditionalHeaders.asDictionary())
        for (const auto& [name, value] : *extra)
            if (!fields.find(name)) fields.set(name, value.isString() ? *value.asString() : value.description());
    if (!fields.find("Cookie"))
        if (auto cookie = cookieHeaderFor(config, req)) fields.set("Cookie", *cookie);
    if (!fields.find("User-Agent")) fields.set("User-Agent", PlatformConfig::processName() + " (URLSession)");
    if (!fields.find("Accept")) fields.set("Accept", "*/*");
    for (const auto& [name, value] : fields.entries()) {
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        t->headerList = curl_slist_append(t->headerList, line.c_str());
    }
    // curl's own additions the platform does not make.
    t->headerList = curl_slist_append(t->headerList, "Expect:");
    if (!fields.find("Content-Type")) t->headerList = curl_slist_append(t->headerList, "Content-Type:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, t->headerList);

    if (auto target = PlatformConfig::connectTarget(t->host + ":" + std::to_string(port))) {
        std::string mapping = t->host + ":" + std::to_string(port) + ":" + *target;
        t->connectTo = curl_slist_append(t->connectTo, mapping.c_str());
        curl_easy_setopt(c, CURLOPT_CONNECT_TO, t->connectTo);
    }
    if (secure) {
        // We verify in OpenSSL's verify callback (system store + extra roots + host, or the delegate).
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 0L);  // a resumed session would skip the check
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, onSSLContext);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, t);
    }
    // Every request the process sends is observable on the device.
    DeviceEvents::post("http.request", Value::dictionary({{"method", method}, {"url", url.absoluteString()}}));
}

void TransferOps::addHop(Engine* e, Transfer* t) {
    {
        std::lock_guard lock(t->task->mutex_);
        if (t->task->state_ == URLSessionTaskState::Suspended) t->userPaused = true;
    }
    t->lastActivity = now();
    curl_multi_add_handle(e->multi(), t->easy);
    t->inMulti = true;
    if (t->userPaused) curl_easy_pause(t->easy, CURLPAUSE_ALL);
}

void TransferOps::startHop(Engine* e, Transfer* t) {
    configureHop(e->configuration(), t);
    addHop(e, t);
}

size_t TransferOps::onRead(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    t->lastActivity = now();
    if (!t->bodyStream) return 0;
    ssize_t n = t->bodyStream->read(reinterpret_cast<uint8_t*>(buffer), size * count);
    if (n < 0) {
        t->bodyFailed = true;
        return CURL_READFUNC_ABORT;
    }
    t->bodySent += n;
    int64_t total = t->bodySent, expected = t->bodyLength >= 0 ? t->bodyLength : kURLSessionTransferSizeUnknown;
    {
        std::lock_guard lock(t->task->mutex_);
        t->task->sent_ = total;
    }
    auto d = t->engine->delegate();
    if (n > 0 && d && d->implements(URLSessionDelegateMethod::TaskDidSendBodyData)) {
        auto session = t->engine->sessionRef();
        auto task = t->task;
        t->engine->deliver([d, session, task, n, total, expected] {
            if (session) d->didSendBodyData(session, task, n, total, expected);
        });
    }
    return size_t(n);
}

size_t TransferOps::onHeader(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t len = size * count;
    t->lastActivity = now();
    std::string_view line(buffer, len);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    line = trimmingHTTPWhitespace(line);
    if (line.starts_with("HTTP/")) {
        auto sp = line.find(' ');
        t->httpVersion = std::string(line.substr(0, sp));
        t->status = 0;
        if (sp != std::string_view::npos)
            std::from_chars(line.data() + sp + 1, line.data() + line.size(), t->status);
        t->headers = {};
        t->setCookies.clear();
        return len;
    }
    if (line.empty()) {
        if (t->status >= 100 && t->status < 200) return len;  // interim answer; the real one follows
        if (t->status > 0 && t->phase == Transfer::Phase::Headers) TransferOps::onHead(t);
        return len;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return len;
    std::string name(trimmingHTTPWhitespace(line.substr(0, colon)));
    std::string value(trimmingHTTPWhitespace(line.substr(colon + 1)));
    if (equalsIgnoringASCIICase(name, "Set-Cookie")) t->setCookies.push_back(value);
    if (const auto* existing = t->headers.find(name)) value = *existing + ", " + value;
    t->headers.set(std::move(name), std::move(value));
    return len;
}

void TransferOps::onHead(Transfer* t) {
    Engine* e = t->engine;
    const auto& config = e->configuration();
    const URL url = *t->request.url();
    t->response = std::make_shared<HTTPURLResponse>(url, t->status, t->httpVersion, t->headers);
    storeCookies(config, t->request, url, t->setCookies);
    auto d = e->delegate();
    auto session = e->sessionRef();
    auto task = t->task;
    auto id = task->taskIdentifier();
    auto weakEngine = e->weak_from_this();

    const auto* location = t->headers.find("Location");
    std::optional<URL> target = location ? URL::string(*location, url) : std::nullopt;
    if (isRedirect(t->status) && target) {
        t->phase = Transfer::Phase::AwaitingRedirect;
        if (t->redirects >= kMaxRedirects) {
            e->post([e, id] {
                auto it = e->transfers_.find(id);
                if (it != e->transfers_.end())
                    e->finish(it->second.get(), makeURLError(URLErrorCode::HTTPTooManyRedirects, it->second->request.url()));
            });
            return;
        }
        URLRequest next = t->request;
        next.setURL(*target);
        auto method = next.HTTPMethod();
        if ((t->status == 303 && method != "HEAD") || ((t->status == 301 || t->status == 302) && method == "POST")) {
            next.setHTTPMethod("GET");
            next.setHTTPBody(std::nullopt);
            next.setHTTPBodyStream(nullptr);
            next.setValue(std::nullopt, "Content-Type");
            next.setValue(std::nullopt, "Content-Length");
        }
        if (target->host() != url.host()) next.setValue(std::nullopt, "Authorization");
        next.setValue(std::nullopt, "Range");
        next.setValue(std::nullopt, "If-Range");
        auto decide = [weakEngine, e, id](std::optional<URLRequest> answer) {
            auto eng = weakEngine.lock();
            if (!eng) return;
            eng->post([e, id, answer = std::move(answer)] {
                auto it = e->transfers_.find(id);
                if (it == e->transfers_.end()) return;
                Transfer* t = it->second.get();
                if (t->phase != Transfer::Phase::AwaitingRedirect) return;
                if (!answer || !answer->url()) {
                    // Refused: the 3xx answer is the task's response.
                    handleResponse(t);
                    if (t->phase == Transfer::Phase::Body) bodyMayFlow(e, t);
                    return;
                }
                recordHopMetrics(t);
                t->releaseEasy();
                t->redirects++;
                t->request = *answer;
                {
                    std::lock_guard lock(t->task->mutex_);
                    t->task->currentRequest_ = *answer;
                }
                if (!PlatformConfig::networkUp())
                    return e->finish(t, makeURLError(URLErrorCode::NotConnectedToInternet, answer->url()));
                prepareBodyThenStart(e, t);
            });
        };
        auto response = t->response;
        if (d && session && d->implements(URLSessionDelegateMethod::TaskWillPerformHTTPRedirection)) {
            e->deliver([d, session, task, response, next, decide] {
                auto once = std::make_shared<std::atomic<bool>>(false);
                d->willPerformHTTPRedirection(session, task, response, next, [once, decide](std::optional<URLRequest> r) {
                    if (!once->exchange(true)) decide(std::move(r));
                });
            });
        } else {
            decide(next);
        }
        return;
    }

    if (t->status == 401 || t->status == 407) {
        const auto* challengeHeader = t->headers.find(t->status == 401 ? "WWW-Authenticate" : "Proxy-Authenticate");
        if (challengeHeader && challengeHeader->size() >= 5 && equalsIgnoringASCIICase(challengeHeader->substr(0, 5), "basic")) {
            std::optional<std::string> realm;
            auto r = challengeHeader->find("realm=");
            if (r != std::string::npos) {
                auto v = challengeHeader->substr(r + 6);
                if (!v.empty() && v[0] == '"') v = v.substr(1, v.find('"', 1) - 1);
                realm = v;
            }
            int port = url.port().value_or(url.scheme() == "https" ? 443 : 80);
            URLProtectionSpace space(t->host, port, url.scheme(), realm, kURLAuthenticationMethodHTTPBasic);
            auto storage = config.URLCredentialStorage;
            std::optional<URLCredential> proposed = storage ? storage->defaultCredentialForProtectionSpace(space) : std::nullopt;
            t->phase = Transfer::Phase::AwaitingAuth;
            URLAuthenticationChallenge challenge{space, proposed, t->authFailures, t->response};
            auto decide = [weakEngine, e, id, proposed, space, storage](URLSessionAuthChallengeDisposition disp,
                                                                         std::optional<URLCredential> cred) {
                auto eng = weakEngine.lock();
                if (!eng) return;
                eng->post([e, id, disp, cred, proposed, space, storage] {
                    auto it = e->transfers_.find(id);
                    if (it == e->transfers_.end()) return;
                    Transfer* t = it->second.get();
                    if (t->phase != Transfer::Phase::AwaitingAuth) return;
                    std::optional<URLCredential> use;
                    if (disp == URLSessionAuthChallengeDisposition::UseCredential) use = cred;
                    if (disp == URLSessionAuthChallengeDisposition::PerformDefaultHandling && t->authFailures == 0) use = proposed;
                    if (disp == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge)
                        return e->finish(t, makeURLError(URLErrorCode::Cancelled, t->request.url()));
                    if (!use || !use->user() || !use->password()) {
                        handleResponse(t);  // no credential: the 401 is the answer
                        if (t->phase == Transfer::Phase::Body) bodyMayFlow(e, t);
                        return;
                    }
                    if (storage && use->persistence() != URLCredentialPersistence::None) storage->setCredential(*use, space);
                    recordHopMetrics(t);
                    t->releaseEasy();
                    t->authFailures++;
                    t->request.setValue("Basic " + base64(*use->user() + ":" + *use->password()),
                                        t->status == 401 ? "Authorization" : "Proxy-Authorization");
                    prepareBodyThenStart(e, t);
                });
            };
            if (d && session && d->implements(URLSessionDelegateMethod::TaskDidReceiveChallenge)) {
                e->deliver([d, session, task, challenge, decide] {
                    auto once = std::make_shared<std::atomic<bool>>(false);
                    d->didReceiveTaskChallenge(session, task, challenge,
                                               [once, decide](URLSessionAuthChallengeDisposition disp, std::optional<URLCredential> c) {
                                                   if (!once->exchange(true)) decide(disp, std::move(c));
                                               });
                });
            } else {
                decide(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
            }
            return;
        }
    }
    handleResponse(t);
}

// The response is final: record it, prepare the download file, ask the delegate for a disposition.
void TransferOps::handleResponse(Transfer* t) {
    Engine* e = t->engine;
    auto response = t->response;
    auto task = t->task;
    {
        std::lock_guard lock(task->mutex_);
        task->response_ = response;
        task->expectedToReceive_ = response->expectedContentLength();
    }
    t->phase = Transfer::Phase::Body;
    auto d = e->delegate();
    auto session = e->sessionRef();
    if (task->kind() == URLSessionTask::Kind::Download || t->becameDownload) {
        int64_t expected = response->expectedContentLength();
        bool append = t->resumeOffset > 0 && t->status == 206;
        if (t->filePath.empty()) t->filePath = temporaryPath();
        t->file = fopen(t->filePath.c_str(), append ? "ab" : "wb");
        if (!t->file) {
            t->fileFailed = true;
            return;  // the write callback fails the transfer
        }
        if (!append) t->resumeOffset = 0;
        t->written = t->resumeOffset;
        t->etag = t->headers.find("ETag") ? *t->headers.find("ETag") : "";
        t->lastModified = t->headers.find("Last-Modified") ? *t->headers.find("Last-Modified") : "";
        if (t->extras.resumeData && d && session && !t->extras.downloadCompletion &&
            d->implements(URLSessionDelegateMethod::DownloadTaskDidResumeAtOffset)) {
            auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task);
            int64_t offset = t->resumeOffset, total = expected >= 0 ? expected + offset : expected;
            e->deliver([d, session, dl, offset, total] { d->didResumeAtOffset(session, dl, offset, total); });
        }
        return;
    }
    if (task->kind() == URLSessionTask::Kind::Data && !t->cacheSettled)
        if (auto limit = cacheableBodyLimit(e->configuration(), t->request, *response)) {
            t->cacheBody.emplace();
            t->cacheBodyLimit = *limit;
        }
    if (t->extras.dataCompletion || !d || !session || !d->implements(URLSessionDelegateMethod::DataTaskDidReceiveResponse))
        return;
    t->phase = Transfer::Phase::AwaitingResponse;
    auto id = task->taskIdentifier();
    auto weakEngine = e->weak_from_this();
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    e->deliver([d, session, dataTask, response, weakEngine, e, id] {
        auto once = std::make_shared<std::atomic<bool>>(false);
        d->didReceiveResponse(session, dataTask, response, [once, weakEngine, e, id](URLSessionResponseDisposition disp) {
            if (once->exchange(true)) return;
            auto eng = weakEngine.lock();
            if (!eng) return;
            eng->post([e, id, disp] {
                auto it = e->transfers_.find(id);
                if (it == e->transfers_.end()) return;
                Transfer* t = it->second.get();
                if (t->phase != Transfer::Phase::AwaitingResponse) return;
                if (disp == URLSessionResponseDisposition::Cancel)
                    return e->finish(t, makeURLError(URLErrorCode::Cancelled, t->request.url()));
                if (disp == URLSessionResponseDisposition::BecomeDownload) {
                    // The transfer goes on as a new download task; the data task ends without callbacks.
                    auto session = e->sessionRef();
                    auto old = t->task;
                    auto dl = std::make_shared<URLSessionDownloadTask>(e->nextIdentifier(), session, old->originalRequest());
                    {
                        std::lock_guard lock(dl->mutex_);
                        dl->currentRequest_ = t->request;
                        dl->response_ = t->response;
                        dl->state_ = URLSessionTaskState::Running;
                        dl->everResumed_ = true;
                    }
                    {
                        std::lock_guard lock(old->mutex_);
                        old->state_ = URLSessionTaskState::Completed;
                    }
                    e->registerTask(dl);
                    auto owned = std::move(it->second);
                    e->transfers_.erase(it);
                    t->task = dl;
                    t->becameDownload = true;
                    e->transfers_[dl->taskIdentifier()] = std::move(owned);
                    auto d = e->delegate();
                    if (d && session && d->implements(URLSessionDelegateMethod::DataTaskDidBecomeDownloadTask)) {
                        auto dataTask = std::static_pointer_cast<URLSessionDataTask>(old);
                        e->deliver([d, session, dataTask, dl] { d->didBecomeDownloadTask(session, dataTask, dl); });
                    }
                    handleResponse(t);
                }
                t->phase = Transfer::Phase::Body;
                bodyMayFlow(e, t);
            });
        });
    });
}

// The delegate has decided and the body may flow: first what arrived while it decided, then the
// rest (or the end, when curl finished meanwhile).
void TransferOps::bodyMayFlow(Engine* e, Transfer* t) {
    if (!t->held.empty()) {
        Bytes held = std::move(t->held);
        t->held.clear();
        if (onWrite(reinterpret_cast<char*>(held.data()), 1, held.size(), t) != held.size())
            return curlDone(e, t, CURLE_WRITE_ERROR);
    }
    if (t->doneWhileWaiting) return curlDone(e, t, *t->doneWhileWaiting);
    e->unpauseIfClear(t);
}

size_t TransferOps::onWrite(char* ptr, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t len = size * count;
    t->lastActivity = now();
    if (t->phase != Transfer::Phase::Body) {
        // While the delegate decides, a little of the body is kept here: a small answer completes at
        // once and its connection serves the next request. More than that waits in curl (paused).
        if (!t->decisionPaused && t->held.size() + len <= kHeldWhileDeciding) {
            t->held.insert(t->held.end(), ptr, ptr + len);
            return len;
        }
        t->decisionPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (t->pendingBytes->load() > kHighWater) {
        t->pressurePaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    Engine* e = t->engine;
    auto task = t->task;
    int64_t received;
    {
        std::lock_guard lock(task->mutex_);
        task->received_ += int64_t(len);
        received = task->received_;
    }
    if (task->kind() == URLSessionTask::Kind::Download || t->becameDownload) {
        if (t->fileFailed || !t->file || fwrite(ptr, 1, len, t->file) != len) {
            t->fileFailed = true;
            return 0;  // CURLE_WRITE_ERROR
        }
        t->written += int64_t(len);
        t->unreportedBytes += int64_t(len);
        reportProgress(t);
        return len;
    }
    (void)received;
    keepForCache(t, ptr, len);
    if (t->extras.dataCompletion) {
        t->collected.insert(t->collected.end(), ptr, ptr + len);
        return len;
    }
    auto d = e->delegate();
    auto session = e->sessionRef();
    if (!d || !session || !d->implements(URLSessionDelegateMethod::DataTaskDidReceiveData)) return len;
    auto pending = t->pendingBytes;
    pending->fetch_add(int64_t(len));
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    auto weakEngine = e->weak_from_this();
    auto id = task->taskIdentifier();
    e->deliver([d, session, dataTask, bytes = Bytes(ptr, ptr + len), pending, weakEngine, e, id] {
        d->didReceiveData(session, dataTask, bytes);
        int64_t before = pending->fetch_sub(int64_t(bytes.size()));
        if (before >= kLowWater && before - int64_t(bytes.size()) < kLowWater) {
            if (auto eng = weakEngine.lock())
                eng->post([e, id] {
                    auto it = e->transfers_.find(id);
                    if (it != e->transfers_.end() && it->second->pressurePaused) {
                        it->second->pressurePaused = false;
                        e->unpauseIfClear(it->second.get());
                    }
                });
        }
    });
    return len;
}

void Engine::unpauseIfClear(Transfer* t) {
    if (!t->easy) return;
    bool decisionPending = t->phase != Transfer::Phase::Body && t->phase != Transfer::Phase::Headers;
    if (t->userPaused) {
        curl_easy_pause(t->easy, CURLPAUSE_ALL);
        return;
    }
    if (decisionPending || t->pressurePaused) return;
    t->decisionPaused = false;
    t->lastActivity = now();
    curl_easy_pause(t->easy, CURLPAUSE_CONT);
}

// ---------------------------------------------------------------- server trust

int TransferOps::verifyCallback(X509_STORE_CTX* ctx, void* arg) {
    auto* t = static_cast<Transfer*>(arg);
    bool ok = TransferOps::verifyTrust(t, ctx);
    X509_STORE_CTX_set_error(ctx, ok ? X509_V_OK : X509_V_ERR_APPLICATION_VERIFICATION);
    return ok ? 1 : 0;
}

namespace {

// The transfer whose hop made a TLS context, for callbacks that run only inside that hop's handshake.
int transferIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The app holds no client identities: note that the server asked, and answer with no certificate.
int onClientCertificateRequest(SSL* ssl, X509**, EVP_PKEY**) {
    if (auto* t = static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), transferIndex())))
        t->clientCertificateRequested = true;
    return 0;
}

} // namespace

// Called for every new TLS connection, on the engine thread, before its handshake.
CURLcode TransferOps::onSSLContext(CURL*, void* sslctx, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(sslctx);
    if (transferIndex() < 0 || SSL_CTX_set_ex_data(ctx, transferIndex(), user) != 1)
        return CURLE_OUT_OF_MEMORY;
    SSL_CTX_set_client_cert_cb(ctx, onClientCertificateRequest);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verifyCallback, user);
    return CURLE_OK;
}

// Runs inside the TLS handshake on the engine thread: nothing has been sent yet. Waits for the
// delegate (bounded by the request time-out, cut short by a cancel or shutdown).
bool TransferOps::verifyTrust(Transfer* t, X509_STORE_CTX* ctx) {
    Engine* e = t->engine;
    const URL url = *t->request.url();
    auto made = security::Trust::fromStoreContext(ctx, {security::Policy::ssl(true, t->host)});
    if (!made) {
        t->overrideError = makeURLError(URLErrorCode::SecureConnectionFailed, url);
        return false;
    }
    auto trust = std::make_shared<security::Trust>(made.value());
    auto defaultHandling = [&] {
        auto result = trust->evaluate();
        if (result.isValid()) return true;
        t->overrideError = makeURLError(codeForVerifyError(result.verifyError), url);
        return false;
    };
    auto d = e->delegate();
    auto session = e->sessionRef();
    bool taskLevel = d && d->implements(URLSessionDelegateMethod::TaskDidReceiveChallenge);
    bool sessionLevel = d && d->implements(URLSessionDelegateMethod::DidReceiveChallenge);
    if (!session || (!taskLevel && !sessionLevel)) return defaultHandling();

    int port = url.port().value_or(443);
    URLProtectionSpace space(t->host, port, std::string(kURLProtectionSpaceHTTPS), std::nullopt,
                             kURLAuthenticationMethodServerTrust);
    space.setServerTrust(trust);
    URLAuthenticationChallenge challenge{space, std::nullopt, 0, nullptr};
    auto answer = std::make_shared<TrustAnswer>();
    auto task = t->task;
    e->deliver([d, session, task, challenge, answer, taskLevel] {
        auto reply = [answer](URLSessionAuthChallengeDisposition disp, std::optional<URLCredential> cred) {
            std::lock_guard lock(answer->m);
            if (answer->answered) return;
            answer->answered = true;
            answer->disposition = disp;
            answer->credential = std::move(cred);
            answer->cv.notify_all();
        };
        if (taskLevel)
            d->didReceiveTaskChallenge(session, task, challenge, reply);
        else
            d->didReceiveChallenge(session, challenge, reply);
    });
    e->flushDeliveries();  // the engine thread waits for this answer below
    auto deadline = now() + std::chrono::milliseconds(int64_t(t->idleTimeout * 1000));
    std::unique_lock lock(answer->m);
    while (!answer->answered) {
        if (task->state() == URLSessionTaskState::Canceling) {
            t->overrideError = makeURLError(URLErrorCode::Cancelled, url);
            return false;
        }
        if (now() > deadline) {
            t->overrideError = makeURLError(URLErrorCode::TimedOut, url);
            return false;
        }
        answer->cv.wait_for(lock, std::chrono::milliseconds(20));
    }
    switch (answer->disposition) {
        case URLSessionAuthChallengeDisposition::UseCredential:
            if (answer->credential && answer->credential->trust()) return true;
            lock.unlock();
            return defaultHandling();
        case URLSessionAuthChallengeDisposition::PerformDefaultHandling:
            lock.unlock();
            return defaultHandling();
        case URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
            t->overrideError = makeURLError(URLErrorCode::Cancelled, url);
            return false;
        case URLSessionAuthChallengeDisposition::RejectProtectionSpace:
            t->overrideError = makeURLError(URLErrorCode::ServerCertificateUntrusted, url);
            return false;
    }
    return false;
}

// ---------------------------------------------------------------- the URL cache

// A cached answer takes the same road as one from the network (response and the delegate's
// disposition, body, metrics, completion), without an easy handle: nothing is sent, no request is
// announced. The body flows when the answer "finishes" (curlDone), once the disposition allows it.
void TransferOps::answerFromCache(Engine* e, Transfer* t, CachedURLResponse cached) {
    auto response =
        std::dynamic_pointer_cast<const HTTPURLResponse>(cached.response);  // lookUpCache: HTTP only
    t->cacheSettled = true;
    t->response = response;
    t->status = response->statusCode();
    t->httpVersion = response->HTTPVersion();
    t->headers = response->allHeaderFields();
    t->cachedBody = std::move(cached.data);
    t->doneWhileWaiting = CURLE_OK;  // the whole answer is here
    URLSessionTaskTransactionMetrics m;
    m.request = t->request;
    m.response = response;
    m.resourceFetchType = URLSessionTaskMetricsResourceFetchType::LocalCache;
    m.fetchStartDate = m.responseStartDate = m.responseEndDate = Date::now();
    t->metrics.transactionMetrics.push_back(std::move(m));
    handleResponse(t);
    if (t->phase == Transfer::Phase::Body) curlDone(e, t, CURLE_OK);
}

// Keeps the body for the cache proposal only while the cache would take it: a large answer stops
// being kept (and is not proposed) instead of growing memory.
void TransferOps::keepForCache(Transfer* t, const char* ptr, size_t len) {
    if (!t->cacheBody) return;
    if (t->cacheBody->size() + len > t->cacheBodyLimit) return t->cacheBody.reset();
    t->cacheBody->insert(t->cacheBody->end(), ptr, ptr + len);
}

// A network answer that finished without error changes the cache: a successful unsafe method
// outdates the stored answer for its URL; a data task's GET 200 replaces it with itself when it can
// be kept (as the delegate's willCacheResponse answers, when asked), else just outdates it.
// True when the delegate was asked: the task then finishes after its answer.
bool TransferOps::offerToCache(Engine* e, Transfer* t) {
    const auto& cache = e->configuration().URLCache;
    if (t->cacheSettled || !cache || !t->response) return false;
    t->cacheSettled = true;
    forgetAfterUnsafeMethod(*cache, t->request, t->status);
    auto task = t->task;
    if (task->kind() != URLSessionTask::Kind::Data || t->becameDownload || t->request.HTTPMethod() != "GET" ||
        t->status != 200)
        return false;
    if (!t->cacheBody) {
        cache->removeCachedResponseForRequest(t->request);
        return false;
    }
    CachedURLResponse proposal{t->response, std::move(*t->cacheBody), URLCacheStoragePolicy::Allowed};
    t->cacheBody.reset();
    auto d = e->delegate();
    auto session = e->sessionRef();
    if (t->extras.dataCompletion || !d || !session ||
        !d->implements(URLSessionDelegateMethod::DataTaskWillCacheResponse)) {
        cache->storeCachedResponse(std::move(proposal), t->request);
        return false;
    }
    // The connection goes back to the pool while the delegate decides.
    recordHopMetrics(t);
    t->releaseEasy();
    t->phase = Transfer::Phase::AwaitingCache;
    auto id = task->taskIdentifier();
    auto weakEngine = e->weak_from_this();
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    e->deliver([d, session, dataTask, proposal = std::move(proposal), weakEngine, e, id]() mutable {
        auto once = std::make_shared<std::atomic<bool>>(false);
        auto done = [once, weakEngine, e, id](std::optional<CachedURLResponse> answer) {
            if (once->exchange(true)) return;
            if (auto eng = weakEngine.lock())
                eng->post([e, id, answer = std::move(answer)]() mutable {
                    cacheAnswered(e, id, std::move(answer));
                });
        };
        d->willCacheResponse(session, dataTask, std::move(proposal), done);
    });
    return true;
}

// Engine thread: the delegate's willCacheResponse answer; the task completes now.
void TransferOps::cacheAnswered(Engine* e, uint64_t id, std::optional<CachedURLResponse> answer) {
    auto it = e->transfers_.find(id);
    if (it == e->transfers_.end() || it->second->phase != Transfer::Phase::AwaitingCache) return;
    Transfer* t = it->second.get();
    const auto& cache = e->configuration().URLCache;
    if (answer)
        cache->storeCachedResponse(std::move(*answer), t->request);
    else
        cache->removeCachedResponseForRequest(t->request);
    t->phase = Transfer::Phase::Body;
    e->finish(t, std::nullopt);
}

// ---------------------------------------------------------------- completion

void TransferOps::recordHopMetrics(Transfer* t) {
    if (!t->easy) return;
    URLSessionTaskTransactionMetrics m;
    m.request = t->request;
    m.response = t->response;
    m.resourceFetchType = URLSessionTaskMetricsResourceFetchType::NetworkLoad;
    const Date s = t->hopStart;
    m.fetchStartDate = s;
    m.domainLookupStartDate = s;
    m.domainLookupEndDate = dateAt(s, t->easy, CURLINFO_NAMELOOKUP_TIME_T);
    m.connectStartDate = m.domainLookupEndDate;
    m.connectEndDate = dateAt(s, t->easy, CURLINFO_CONNECT_TIME_T);
    if (auto tls = dateAt(s, t->easy, CURLINFO_APPCONNECT_TIME_T)) {
        m.secureConnectionStartDate = m.connectEndDate;
        m.secureConnectionEndDate = tls;
        m.connectEndDate = tls;
    }
    m.requestStartDate = dateAt(s, t->easy, CURLINFO_PRETRANSFER_TIME_T);
    m.requestEndDate = m.requestStartDate;
    m.responseStartDate = dateAt(s, t->easy, CURLINFO_STARTTRANSFER_TIME_T);
    m.responseEndDate = Date::now();
    long version = 0;
    curl_easy_getinfo(t->easy, CURLINFO_HTTP_VERSION, &version);
    m.networkProtocolName = version == CURL_HTTP_VERSION_2_0 ? "h2" : version == CURL_HTTP_VERSION_1_0 ? "http/1.0" : "http/1.1";
    long connects = 0;
    curl_easy_getinfo(t->easy, CURLINFO_NUM_CONNECTS, &connects);
    m.reusedConnection = connects == 0;
    if (m.reusedConnection) m.connectStartDate = m.connectEndDate = std::nullopt;
    t->metrics.transactionMetrics.push_back(std::move(m));
}

void TransferOps::curlDone(Engine* e, Transfer* t, CURLcode code) {
    if (t->cachedBody) {
        // An answer from the cache: its body flows now, as a network one's would have.
        Bytes body = std::move(*t->cachedBody);
        t->cachedBody.reset();
        if (code == CURLE_OK && !body.empty() &&
            onWrite(reinterpret_cast<char*>(body.data()), 1, body.size(), t) != body.size())
            code = CURLE_WRITE_ERROR;
    }
    std::optional<Error> error;
    if (t->overrideError) {
        error = t->overrideError;
    } else if (code == CURLE_OK) {
        if (!t->response) error = makeURLError(URLErrorCode::BadServerResponse, t->request.url());
    } else if (t->fileFailed) {
        error = makeURLError(URLErrorCode::CannotWriteToFile, t->request.url());
    } else if (t->bodyFailed) {
        error = makeURLError(URLErrorCode::CannotOpenFile, t->request.url());
    } else {
        error = makeURLError(codeForFailedHop(*t, code), t->request.url());
    }
    e->finish(t, error);
}

void Engine::readInfo() {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        if (streams_->connectDone(msg->easy_handle, msg->data.result)) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
        if (!t) continue;
        CURLcode code = msg->data.result;
        if (t->phase != Transfer::Phase::Body && t->phase != Transfer::Phase::Headers && code == CURLE_OK) {
            t->doneWhileWaiting = code;  // finish once the delegate has decided
            continue;
        }
        TransferOps::curlDone(this, t, code);
    }
}

void Engine::checkTimeouts() {
    auto at = now();
    std::vector<Transfer*> expired;
    for (auto& [id, t] : transfers_) {
        // The resource time-out counts every moment, suspended or waiting on the delegate, but not the
        // wait for willCacheResponse: the answer is complete then.
        if (t->resourceDeadline && at > *t->resourceDeadline && t->phase != Transfer::Phase::AwaitingCache) {
            expired.push_back(t.get());
            continue;
        }
        if (!t->easy || t->userPaused || t->pressurePaused) continue;
        if (t->phase != Transfer::Phase::Body && t->phase != Transfer::Phase::Headers) continue;
        if (std::chrono::duration<double>(at - t->lastActivity).count() > t->idleTimeout) expired.push_back(t.get());
    }
    for (auto* t : expired) finish(t, makeURLError(URLErrorCode::TimedOut, t->request.url()));
}

void Engine::finish(Transfer* t, std::optional<Error> error) {
    if (!error && TransferOps::offerToCache(this, t)) return;  // finishes once the delegate has answered
    TransferOps::recordHopMetrics(t);
    if (t->file) {
        fflush(t->file);
        fclose(t->file);
        t->file = nullptr;
    }
    t->releaseEasy();
    auto task = t->task;
    auto session = sessionRef();
    auto d = delegate();
    auto extras = std::move(t->extras);
    bool isDownload = task->kind() == URLSessionTask::Kind::Download || t->becameDownload;
    if (isDownload && t->unreportedBytes > 0 && d && session && !extras.downloadCompletion &&
        d->implements(URLSessionDelegateMethod::DownloadTaskDidWriteData)) {
        // The last bytes are reported before the download finishes.
        auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task);
        int64_t bytes = t->unreportedBytes, total = t->written;
        int64_t expected = t->response ? t->response->expectedContentLength() : -1;
        if (expected >= 0) expected += t->resumeOffset;
        t->unreportedBytes = 0;
        deliver([d, session, dl, bytes, total, expected] { d->didWriteData(session, dl, bytes, total, expected); });
    }

    // A download that stopped early can go on later when the server can tell it is the same entity.
    std::optional<Bytes> resumeData;
    if (isDownload && error && !t->filePath.empty()) {
        if (t->written > 0 && (!t->etag.empty() || !t->lastModified.empty()) && t->request.url()) {
            ResumeInfo info{t->request.url()->absoluteString(), t->written, t->filePath, t->etag, t->lastModified};
            resumeData = info.encode();
        }
        if (resumeData) {
            error->userInfo.set(kURLSessionDownloadTaskResumeData, *resumeData);
        } else {
            std::error_code ec;
            std::filesystem::remove(t->filePath, ec);
        }
    }
    t->metrics.redirectCount = t->redirects;
    t->metrics.taskInterval = DateInterval{t->taskStart, Date::now().timeIntervalSince(t->taskStart)};
    auto metrics = std::move(t->metrics);
    auto response = t->response;
    auto collected = std::move(t->collected);
    auto filePath = t->filePath;
    auto resumeHandler = std::move(t->resumeDataHandler);
    {
        std::lock_guard lock(task->mutex_);
        task->state_ = URLSessionTaskState::Completed;
        task->error_ = error;
    }
    {
        std::lock_guard lock(registryMutex_);
        tasks_.erase(task->taskIdentifier());
        extras_.erase(task->taskIdentifier());
    }
    transfers_.erase(task->taskIdentifier());  // t is gone from here on

    auto self = shared_from_this();
    deliver([self, d, session, task, error, extras = std::move(extras), metrics = std::move(metrics), response,
             collected = std::move(collected), filePath,
             resumeHandler, resumeData, isDownload] {
        InFlightScope leaving(task);
        if (resumeHandler) resumeHandler(resumeData);
        bool delegateOK = d && session;
        if (isDownload && !error) {
            auto location = URL::fileURL(filePath);
            auto dl = std::static_pointer_cast<URLSessionDownloadTask>(task);
            if (extras.downloadCompletion)
                extras.downloadCompletion(location, response, std::nullopt);
            else if (delegateOK && d->implements(URLSessionDelegateMethod::DownloadTaskDidFinishDownloadingToURL))
                d->didFinishDownloadingToURL(session, dl, location);
            std::error_code ec;
            std::filesystem::remove(filePath, ec);  // unless it was moved away
        }
        if (delegateOK && d->implements(URLSessionDelegateMethod::TaskDidFinishCollectingMetrics))
            d->didFinishCollectingMetrics(session, task, metrics);
        if (extras.dataCompletion)
            extras.dataCompletion(collected, response, error);
        else if (extras.downloadCompletion && error)
            extras.downloadCompletion(std::nullopt, response, error);
        else if (delegateOK && d->implements(URLSessionDelegateMethod::TaskDidCompleteWithError))
            d->didCompleteWithError(session, task, error);
    });
}

// ---------------------------------------------------------------- task commands

void Engine::suspendTask(const std::shared_ptr<URLSessionTask>& task) {
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->setSuspended(std::static_pointer_cast<URLSessionStreamTask>(task), true);
    auto it = transfers_.find(task->taskIdentifier());
    if (it == transfers_.end()) return;
    it->second->userPaused = true;
    unpauseIfClear(it->second.get());
}

void Engine::resumeTask(const std::shared_ptr<URLSessionTask>& task) {
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->setSuspended(std::static_pointer_cast<URLSessionStreamTask>(task), false);
    auto it = transfers_.find(task->taskIdentifier());
    if (it == transfers_.end()) {
        if (task->state() == URLSessionTaskState::Running) startTask(task);
        return;
    }
    it->second->userPaused = false;
    unpauseIfClear(it->second.get());
}

void Engine::cancelTask(const std::shared_ptr<URLSessionTask>& task, std::function<void(std::optional<Bytes>)> resumeData) {
    if (task->kind() == URLSessionTask::Kind::Stream)
        return streams_->cancel(std::static_pointer_cast<URLSessionStreamTask>(task));
    auto it = transfers_.find(task->taskIdentifier());
    if (it == transfers_.end()) {
        if (task->state() == URLSessionTaskState::Completed) return;
        if (resumeData) deliver([resumeData] { resumeData(std::nullopt); });
        auto req = task->currentRequest();
        return completeWithoutTransfer(task, makeURLError(URLErrorCode::Cancelled, req ? req->url() : std::nullopt));
    }
    Transfer* t = it->second.get();
    t->resumeDataHandler = std::move(resumeData);
    finish(t, makeURLError(URLErrorCode::Cancelled, t->request.url()));
}

}  // namespace platform::urlsession_detail
