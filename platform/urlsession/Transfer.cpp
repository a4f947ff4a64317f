// The start of a transfer: the request's body, the easy handle of each hop, joining the engine.
#include "platform/urlsession/internal/Transfer.h"

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/URLCredentialStorage.h"
#include "platform/urlsession/internal/AuthChallenges.h"
#include "platform/urlsession/internal/CacheGlue.h"
#include "platform/urlsession/internal/CookieGlue.h"
#include "platform/urlsession/internal/ResumeData.h"
#include "platform/urlsession/internal/Transfer.h"

namespace platform::urlsession_detail {

namespace {

// A web view's URL as its request line carries it: an escaped letter, digit, '-', '.', '_' or '~' of its
// path and query written as itself, other escapes' hex digits in upper case, as the real engine's network
// layer writes them; the URL the page and its events show keeps its own spelling.
std::string pageRequestTarget(const std::string& url) {
    size_t authority = url.find("://");
    size_t from = authority == std::string::npos ? 0 : url.find('/', authority + 3);
    size_t to = std::min(url.find('#'), url.size());
    if (from == std::string::npos || from >= to) return url;
    auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
    std::string out = url.substr(0, from);
    for (size_t i = from; i < to; ++i) {
        if (url[i] != '%' || i + 2 >= to || !hex(url[i + 1]) || !hex(url[i + 2])) {
            out += url[i];
            continue;
        }
        char c = static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
        bool unreserved = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        if (unreserved)
            out += c;
        else
            out += "%" + uppercasedASCII(url.substr(i + 1, 2));
        i += 2;
    }
    return out + url.substr(to);
}

// The URL without its user and password, which answer a challenge instead of going with the request.
std::string withoutUserInfo(const std::string& url) {
    size_t authority = url.find("://");
    if (authority == std::string::npos) return url;
    authority += 3;
    size_t at = url.find('@', authority);
    if (at == std::string::npos || at > url.find_first_of("/?#", authority)) return url;
    return url.substr(0, authority) + url.substr(at + 1);
}

}  // namespace

Transfer::Transfer(Engine& engine, std::shared_ptr<URLSessionTask> task, TaskExtras extras, URLRequest request)
    : engine_(&engine), task_(std::move(task)), extras_(std::move(extras)), request_(std::move(request)) {
    startClocks();
}

uint64_t Transfer::taskId() const { return task_->taskIdentifier(); }

void Transfer::releaseEasy() {
    leaveMulti();
    hop_.reset();
    file_.reset();
}

// The hop's handle leaves the engine's multi handle. curl (7.88) does not free what it kept for a
// paused transfer when the handle leaves while other transfers still use the connection, as they do
// over HTTP/2: every cancel of a paused task would lose that much memory. So a paused hop is first
// resumed into callbacks that drop everything: curl hands over what it kept and frees it, and nothing
// reaches the task, which is ending.
void Transfer::leaveMulti() {
    if (!hop_ || !hop_->easy.inMulti()) return;
    if (userPaused_ || decisionPaused_ || pressurePaused_) {
        discarding_ = true;
        curl_easy_pause(easy(), CURLPAUSE_CONT);
    }
    hop_->easy.leave();
}

// The task's time-outs: idle time between bytes (the request's own when it set one, else the
// session's), and the whole resource, redirects included, kept here rather than by curl (a curl
// time-out per transfer costs timer work on every request and would restart at each redirect).
void Transfer::startClocks() {
    const auto& config = engine_->configuration();
    taskStart_ = Date::now();
    idleTimeout_ = request_.timeoutInterval() != 60.0 ? request_.timeoutInterval() : config.timeoutIntervalForRequest;
    if (!(idleTimeout_ > 0)) idleTimeout_ = 60;
    const double resource = config.timeoutIntervalForResource;
    if (resource > 0 && resource < 1e9)
        resourceDeadline_ = steadyNow() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                              std::chrono::duration<double>(resource));
}

// A download goes on from where its resume data left it: the file so far, and a range request
// that only holds while the server's entity is the same.
std::optional<URLErrorCode> Transfer::applyResumeData(const Bytes& resumeData) {
    owner_.assertOnThread();
    auto info = ResumeInfo::decode(resumeData);
    if (!info) return URLErrorCode::BadURL;
    std::error_code ec;
    auto size = std::filesystem::file_size(info->tempPath, ec);
    if (ec) return URLErrorCode::CannotOpenFile;
    filePath_ = info->tempPath;
    resumeOffset_ = int64_t(size);
    etag_ = info->etag;
    lastModified_ = info->lastModified;
    request_.setValue("bytes=" + std::to_string(size) + "-", "Range");
    if (!info->etag.empty())
        request_.setValue(info->etag, "If-Range");
    else if (!info->lastModified.empty())
        request_.setValue(info->lastModified, "If-Range");
    return std::nullopt;
}

// Made on the resuming thread, the transfer is its engine's from here on.
bool Transfer::prepareFirstHop() {
    owner_.assertOnThread();
    if (!chooseBody()) return false;
    configureHop();
    owner_.detach();
    return true;
}

void Transfer::begin(std::optional<CachedURLResponse> cached) {
    owner_.assertOnThread();
    if (cached) return answerFromCache(std::move(*cached));
    prepareBodyThenStart();
}

// Sets up the request body the hop sends, when it is at hand (none, data, a file, the request's
// stream on the first hop). False when the file is missing or the delegate must supply a stream.
bool Transfer::chooseBody() {
    bodyStream_.reset();
    bodyLength_ = -1;
    bodySent_ = 0;
    const auto& req = request_;
    if (req.HTTPMethod() == "GET" || req.HTTPMethod() == "HEAD") return true;
    if (extras_.uploadData) {
        bodyStream_ = InputStream::withData(*extras_.uploadData);
        bodyLength_ = int64_t(extras_.uploadData->size());
    } else if (extras_.uploadFile) {
        std::error_code ec;
        auto size = std::filesystem::file_size(*extras_.uploadFile, ec);
        if (ec) return false;
        bodyStream_ = InputStream::withFileAtPath(*extras_.uploadFile);
        bodyLength_ = int64_t(size);
    } else if (req.HTTPBody()) {
        bodyStream_ = InputStream::withData(*req.HTTPBody());
        bodyLength_ = int64_t(req.HTTPBody()->size());
    } else if (req.HTTPBodyStream() && redirects_ == 0) {
        bodyStream_ = req.HTTPBodyStream();
    } else if (extras_.streamedUpload || req.HTTPBodyStream()) {
        return false;
    } else {
        bodyLength_ = 0;
    }
    return true;
}

void Transfer::prepareBodyThenStart() {
    if (chooseBody()) return startHop();
    auto url = request_.url();
    if (extras_.uploadFile) return finish(makeURLError(URLErrorCode::FileDoesNotExist, url));
    // Ask the delegate for a stream; the transfer waits (no easy handle yet) until it answers.
    auto d = engine_->delegate();
    auto session = engine_->sessionRef();
    if (!d || !session || !d->implements(URLSessionDelegateMethod::TaskNeedNewBodyStream))
        return finish(makeURLError(URLErrorCode::CannotOpenFile, url));
    auto task = task_;
    askDelegate<std::shared_ptr<InputStream>>(
        [d, session, task](std::function<void(std::shared_ptr<InputStream>)> reply) {
            d->needNewBodyStream(session, task, reply);
        },
        &Transfer::bodyStreamAnswered);
}

// Waiting for a body stream (no easy handle yet): the delegate's stream starts the hop.
void Transfer::bodyStreamAnswered(std::shared_ptr<InputStream> stream) {
    if (hop_) return;
    if (!stream) return finish(makeURLError(URLErrorCode::CannotOpenFile, request_.url()));
    bodyStream_ = std::move(stream);
    startHop();
}

// Builds the hop's easy handle; touches nothing of the engine's, so a first hop can be made on the
// thread that resumes the task.
void Transfer::configureHop() {
    const auto& config = engine_->configuration();
    const auto& req = request_;
    const URL& url = *req.url();
    // A URL answers its parts by parsing its text: read them once per hop.
    host_ = url.host().value_or("");
    const bool secure = url.scheme() == "https";
    const int port = url.port().value_or(secure ? 443 : 80);
    state_ = State::Headers;
    status_ = 0;
    head_ = {};
    response_.reset();
    clientCertificateRequested_ = false;
    doneWhileWaiting_.reset();
    decisionPaused_ = false;
    discarding_ = false;
    held_.clear();
    hopStart_ = Date::now();
    lastActivity_ = steadyNow();

    CurlRequest& hop = hop_.emplace(*engine_, engine_->newEasy(), true);
    CURL* c = hop.easy.get();
    std::string target = req.mainDocumentURL() ? pageRequestTarget(url.absoluteString()) : url.absoluteString();
    if (!config.sendsURLCredentialsPreemptively) target = withoutUserInfo(target);
    curl_easy_setopt(c, CURLOPT_URL, target.c_str());
    curl_easy_setopt(c, CURLOPT_PRIVATE, this);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onWrite);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // decode what we accept; a caller's header still wins
    curlAnswersChallenge_ = false;
    if (curlAuth_) {
        curl_easy_setopt(c, curlAuth_->proxy ? CURLOPT_PROXYAUTH : CURLOPT_HTTPAUTH, long(CURLAUTH_DIGEST));
        curl_easy_setopt(c, curlAuth_->proxy ? CURLOPT_PROXYUSERNAME : CURLOPT_USERNAME, curlAuth_->user.c_str());
        curl_easy_setopt(c, curlAuth_->proxy ? CURLOPT_PROXYPASSWORD : CURLOPT_PASSWORD, curlAuth_->password.c_str());
        curlAnswersChallenge_ = true;
    }
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, long(idleTimeout_ * 1000));
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // Downloads go to disk in large writes: fewer callbacks and system calls per megabyte.
    if (task_->kind() == URLSessionTask::Kind::Download) curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 512L * 1024);

    const auto& method = req.HTTPMethod();
    bool sendsBody = true;  // curl sends the request as a POST, with a body
    if (bodyStream_) {
        if (bodyStream_->streamStatus() == StreamStatus::NotOpen) bodyStream_->open();
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, onRead);
        curl_easy_setopt(c, CURLOPT_READDATA, this);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(bodyLength_));
        if (method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
        task_->setBytesExpectedToSend(kTaskKey, bodyLength_ >= 0 ? bodyLength_ : kURLSessionTransferSizeUnknown);
    } else if (method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
        sendsBody = false;
    } else if (method == "GET") {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
        sendsBody = false;
    } else if (method == "POST") {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(0));
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, "");
    } else {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
        sendsBody = false;
    }

    // Header fields: the request's own, then the session's additional ones it does not set. curl says
    // "Accept: */*" itself when none is set, and the User-Agent it is given; a plain GET then needs no
    // list of its own.
    const HTTPHeaderFields& own = req.allHTTPHeaderFields();
    const ValueDictionary* extra = config.HTTPAdditionalHeaders.asDictionary();
    // Whether a field of this name, in any letter case, is among the additional ones before `end`.
    auto extraBefore = [&](ValueDictionary::const_iterator end, std::string_view name) {
        return std::any_of(extra->begin(), end,
                           [&](const auto& field) { return equalsIgnoringASCIICase(field.first, name); });
    };
    auto setHere = [&](std::string_view name) { return own.find(name) || (extra && extraBefore(extra->end(), name)); };
    auto append = [&](const std::string& name, const std::string& value) {
        hop.headers.append(value.empty() ? name + ";" : name + ": " + value);
    };
    for (const auto& [name, value] : own.entries()) append(name, value);
    if (extra)
        for (auto field = extra->begin(); field != extra->end(); ++field) {
            const std::string& name = field->first;
            if (own.find(name) || extraBefore(field, name)) continue;
            const Value& value = field->second;
            append(name, value.isString() ? *value.asString() : value.description());
        }
    if (!setHere("Cookie"))
        if (auto cookie = cookieHeaderFor(config, req)) append("Cookie", *cookie);
    if (!config.sendsURLCredentialsPreemptively && !setHere("Authorization") && config.URLCredentialStorage)
        if (auto kept = config.URLCredentialStorage->credentialForURL(url))
            append("Authorization", basicAuthorization(*kept));
    if (!setHere("User-Agent"))
        curl_easy_setopt(c, CURLOPT_USERAGENT, (PlatformConfig::processName() + " (URLSession)").c_str());
    // curl's own additions to a request with a body that the platform does not make.
    if (sendsBody) {
        hop.headers.append("Expect:");
        if (!setHere("Content-Type")) hop.headers.append("Content-Type:");
    }
    if (hop.headers.get()) curl_easy_setopt(c, CURLOPT_HTTPHEADER, hop.headers.get());

    if (auto target = PlatformConfig::connectTarget(host_ + ":" + std::to_string(port))) {
        std::string mapping = host_ + ":" + std::to_string(port) + ":" + *target;
        hop.connectTo.append(mapping);
        curl_easy_setopt(c, CURLOPT_CONNECT_TO, hop.connectTo.get());
    }
    if (secure) {
        // We verify in OpenSSL's verify callback (system store + extra roots + host, or the delegate).
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_SESSIONID_CACHE, 0L);  // a resumed session would skip the check
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, onSSLContext);
        curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, this);
    }
    // Every request the process sends is observable on the device.
    if (DeviceEvents::hasListeners())
        DeviceEvents::post("http.request", Value::dictionary({{"method", method}, {"url", url.absoluteString()}}));
}

void Transfer::join() {
    owner_.assertOnThread();
    if (task_->state() == URLSessionTaskState::Suspended) userPaused_ = true;
    lastActivity_ = steadyNow();
    hop_->easy.join();
    if (userPaused_) curl_easy_pause(easy(), CURLPAUSE_ALL);
}

void Transfer::startHop() {
    configureHop();
    join();
}
}  // namespace platform::urlsession_detail
