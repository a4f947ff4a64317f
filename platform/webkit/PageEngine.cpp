#include "platform/webkit/PageEngine.h"

#include <atomic>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/HTTPCookie.h"
#include "platform/urlsession/URLError.h"
#include "platform/urlsession/URLSessionTask.h"
#include "platform/webkit/FormReader.h"
#include "platform/webkit/WebsiteDataStore.h"
#include "platform/webkit/internal/TaskSink.h"

namespace platform::webkit::webkit_detail {

namespace {

std::atomic<uint64_t> nextNavigationId{1};

std::string urlText(const std::optional<URL>& url) { return url ? url->absoluteString() : std::string(); }

void postEvent(const char* name, const std::optional<URL>& url) {
    DeviceEvents::post(name, Value::dictionary({{"url", Value(urlText(url))}}));
}

bool isFetchable(const URL& url) {
    auto scheme = url.scheme();
    return scheme && (*scheme == "http" || *scheme == "https");
}

bool isBlank(const URL& url) { return url.absoluteString() == "about:blank"; }

}  // namespace

class PageEngine::Job : public TaskSink, public std::enable_shared_from_this<Job> {
public:
    enum class Stage { Deciding, Provisional, Committed, Done };

    Job(std::weak_ptr<PageEngine> engine, URLRequest request, LoadOptions options, uint64_t generation,
        ReferrerPolicy referrerPolicy)
        : engine(std::move(engine)),
          navigation(std::make_shared<Navigation>(nextNavigationId++, request, options.type)),
          request(std::move(request)), options(std::move(options)), generation(generation),
          referrerPolicy(referrerPolicy) {}

    void taskWillRedirect(const std::shared_ptr<const HTTPURLResponse>& response, URLRequest newRequest,
                          std::function<void(std::optional<URLRequest>)> completion) override {
        if (auto e = engine.lock()) return e->redirect(shared_from_this(), response, std::move(newRequest), completion);
        completion(std::nullopt);
    }
    void taskDidReceiveResponse(const std::shared_ptr<const URLResponse>& r,
                                std::function<void(URLSessionResponseDisposition)> completion) override {
        auto e = engine.lock();
        if (!e) return completion(URLSessionResponseDisposition::Cancel);
        e->response(shared_from_this(), r, [completion](bool allow) {
            completion(allow ? URLSessionResponseDisposition::Allow : URLSessionResponseDisposition::Cancel);
        });
    }
    void taskDidReceiveData(const Bytes& bytes) override {
        if (auto e = engine.lock()) e->data(shared_from_this(), bytes.data(), bytes.size());
    }
    void taskDidComplete(const std::optional<Error>& error) override {
        if (auto e = engine.lock()) e->complete(shared_from_this(), error);
    }

    void cancelTask() {
        if (task) task->cancel();
    }

    std::weak_ptr<PageEngine> engine;
    std::shared_ptr<Navigation> navigation;
    URLRequest request;  // of the current hop
    LoadOptions options;
    uint64_t generation;
    ReferrerPolicy referrerPolicy;  // the page's, until a redirect's answer names another
    Stage stage = Stage::Deciding;
    std::shared_ptr<URLSessionDataTask> task;
    std::shared_ptr<const URLResponse> response;
    int64_t received = 0;
    int64_t expected = -1;
};

PageEngine::PageEngine(std::shared_ptr<WebsiteDataStore> store, EngineClient* client)
    : store_(std::move(store)), client_(client) {}

PageEngine::~PageEngine() {
    readsStop_->store(true);
    if (current_) current_->cancelTask();
}

void PageEngine::detach() {
    client_ = nullptr;
    readsStop_->store(true);
    startedGeneration_ = nextGeneration_ + 1;  // undecided loads never start
    abandonCurrent();
}

FrameInfo PageEngine::mainFrame() const {
    FrameInfo frame;
    frame.isMainFrame = true;
    if (committedRequest_) frame.request = *committedRequest_;
    frame.request.setURL(committedURL_);
    return frame;
}

std::optional<URLRequest> PageEngine::currentRequest() const {
    if (current_) return current_->request;
    return committedRequest_;
}

bool PageEngine::isLoadingOrDeciding(const URL& url) const {
    if (current_ && current_->navigation->initialRequest().url() == url) return true;
    auto job = latestAsked_.lock();
    return job && job->stage == Job::Stage::Deciding && job->generation >= startedGeneration_ &&
           job->request.url() == url;
}

std::shared_ptr<Navigation> PageEngine::load(URLRequest request, LoadOptions options) {
    auto job = std::make_shared<Job>(weak_from_this(), std::move(request), std::move(options), ++nextGeneration_,
                                     referrerPolicy_);
    latestAsked_ = job;
    if (!client_) return job->navigation;
    NavigationAction action;
    action.request = job->request;
    action.navigationType = job->options.type;
    action.sourceFrame = job->options.sourceFrame;
    action.targetFrame = mainFrame();
    std::weak_ptr<PageEngine> weak = weak_from_this();
    client_->engineDecideAction(
        action, dispatch::OnceHandler<NavigationActionPolicy>("decidePolicyForNavigationAction",
                                                              [weak, job](NavigationActionPolicy policy) {
                                                                  if (auto self = weak.lock())
                                                                      self->actionDecided(job, policy);
                                                              }));
    return job->navigation;
}

void PageEngine::actionDecided(const std::shared_ptr<Job>& job, NavigationActionPolicy policy) {
    // A newer load already started: this one lost its chance.
    if (!client_ || job->stage != Job::Stage::Deciding || job->generation < startedGeneration_) return;
    bool allow = policy == NavigationActionPolicy::Allow;
    DeviceEvents::post("navigation.decision", Value::dictionary({{"url", Value(urlText(job->request.url()))},
                                                                 {"type", Value(navigationTypeName(job->options.type))},
                                                                 {"decision", Value(allow ? "allow" : "cancel")}}));
    if (!allow) {
        job->stage = Job::Stage::Done;
        return;
    }
    if (!job->options.html && movesWithinPage(committedURL_, job->request, job->options.type)) {
        // A fragment of the page shown: the page scrolls there; nothing is fetched, no load starts.
        job->stage = Job::Stage::Done;
        moveWithinPage(*job->request.url());
        return;
    }
    begin(job);
}

void PageEngine::moveWithinPage(const URL& url) {
    committedURL_ = url;
    if (committedRequest_) committedRequest_->setURL(url);
    backForward_.moveWithinPage(url);
}

void PageEngine::begin(const std::shared_ptr<Job>& job) {
    auto self = shared_from_this();
    startedGeneration_ = job->generation;
    if (current_) fail(current_, makeURLError(URLErrorCode::Cancelled, current_->request.url()));
    if (!client_ || job->generation < startedGeneration_) {  // the owner moved on meanwhile
        job->stage = Job::Stage::Done;
        return;
    }

    current_ = job;
    job->stage = Job::Stage::Provisional;
    lastStartedRequest_ = job->request;
    progress_ = 0.1;
    postEvent("page.start", job->request.url());
    client_->engineDidStart(job->navigation);
    if (!isCurrent(job)) return;

    const auto& url = job->request.url();
    std::weak_ptr<PageEngine> weak = weak_from_this();
    if (job->options.html || (url && isBlank(*url))) {
        // Nothing to fetch; still commit and finish from the loop, as a fetched page would.
        dispatch::MainLoop::shared().post([weak, job] {
            auto self = weak.lock();
            if (!self || !self->isCurrent(job)) return;
            self->commit(job);
            if (!self->isCurrent(job)) return;
            const std::string html = job->options.html.value_or("");
            self->data(job, reinterpret_cast<const uint8_t*>(html.data()), html.size());
            if (self->isCurrent(job)) self->finish(job);
        });
        return;
    }
    if (!url || !isFetchable(*url)) {
        auto code = url ? URLErrorCode::UnsupportedURL : URLErrorCode::BadURL;
        dispatch::MainLoop::shared().post([weak, job, code] {
            auto self = weak.lock();
            if (self && self->isCurrent(job)) self->fail(job, makeURLError(code, job->request.url()));
        });
        return;
    }
    URLRequest request = job->request;
    request.setMainDocumentURL(url);
    setFetchMetadata(request, job->options.type, false);
    // Reloading asks the server again, however fresh the stored copy.
    if (job->options.type == NavigationType::Reload)
        request.setCachePolicy(URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    job->task = store_->makeDataTask(request, job);
    job->task->resume();
}

void PageEngine::redirect(const std::shared_ptr<Job>& job, const std::shared_ptr<const HTTPURLResponse>& response,
                          URLRequest newRequest, std::function<void(std::optional<URLRequest>)> completion) {
    if (!isCurrent(job) || !client_) {
        completion(std::nullopt);
        return;
    }
    newRequest.setMainDocumentURL(newRequest.url());
    if (auto policy = referrerPolicyIn(response ? response->valueForHTTPHeaderField("Referrer-Policy") : std::nullopt))
        job->referrerPolicy = *policy;
    carryPageHeaders(job->request, newRequest, job->referrerPolicy);
    setFetchMetadata(newRequest, job->options.type, true);
    // A navigation that has been to another site stays cross-site for its cookies, even back on its
    // own: an initiator without a site is the same site as nothing.
    const auto& initiator = newRequest.navigationInitiatorURL();
    auto crossSite = [&](const std::optional<URL>& hop) { return !hop || !cookie_rules::isSameSite(*initiator, *hop); };
    if (initiator && (crossSite(job->request.url()) || crossSite(newRequest.url())))
        newRequest.setNavigationInitiatorURL(URL::string("about:blank"));
    NavigationAction action;
    action.request = newRequest;
    action.navigationType = NavigationType::Other;
    action.targetFrame = mainFrame();
    std::weak_ptr<PageEngine> weak = weak_from_this();
    auto decided = [weak, job, newRequest, completion](NavigationActionPolicy policy) {
        auto self = weak.lock();
        if (!self || !self->isCurrent(job) || !self->client_) return completion(std::nullopt);
        bool allow = policy == NavigationActionPolicy::Allow;
        DeviceEvents::post("navigation.decision",
                           Value::dictionary({{"url", Value(urlText(newRequest.url()))},
                                              {"type", Value(navigationTypeName(NavigationType::Other))},
                                              {"decision", Value(allow ? "allow" : "cancel")}}));
        if (!allow) {
            // The navigation ends here, and says so: its owner stops waiting for the page.
            completion(std::nullopt);
            self->fail(job,
                       Error::withDescription(kWebKitEngineErrorDomain, kWebKitErrorFrameLoadInterruptedByPolicyChange,
                                              "Frame load interrupted"));
            return;
        }
        job->request = newRequest;
        completion(newRequest);
        self->client_->engineDidRedirect(job->navigation);
    };
    client_->engineDecideAction(
        action, dispatch::OnceHandler<NavigationActionPolicy>("decidePolicyForNavigationAction", decided));
}

void PageEngine::response(const std::shared_ptr<Job>& job, const std::shared_ptr<const URLResponse>& response,
                          std::function<void(bool allow)> completion) {
    if (!isCurrent(job) || !client_) return completion(false);
    job->response = response;
    job->expected = response ? response->expectedContentLength() : -1;
    NavigationResponse navigationResponse;
    navigationResponse.response = response;
    navigationResponse.isForMainFrame = true;
    std::weak_ptr<PageEngine> weak = weak_from_this();
    auto decided = [weak, job, completion](NavigationResponsePolicy policy) {
        auto self = weak.lock();
        if (!self || !self->isCurrent(job)) return completion(false);
        if (policy != NavigationResponsePolicy::Allow) {
            completion(false);
            self->abandonCurrent();
            return;
        }
        self->commit(job);
        completion(self->isCurrent(job));
    };
    client_->engineDecideResponse(navigationResponse, dispatch::OnceHandler<NavigationResponsePolicy>(
                                                          "decidePolicyForNavigationResponse", decided));
}

void PageEngine::commit(const std::shared_ptr<Job>& job) {
    job->stage = Job::Stage::Committed;
    std::optional<URL> url = job->response && job->response->url() ? job->response->url() : job->request.url();
    if (job->options.html) url = job->request.url() ? job->request.url() : URL::string("about:blank");
    committedURL_ = url;
    committedRequest_ = job->request;
    ++pagesCommitted_;
    auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(job->response);
    referrerPolicy_ = referrerPolicyOf(http ? http->valueForHTTPHeaderField("Referrer-Policy") : std::nullopt);
    title_.clear();
    body_.clear();
    bodyCut_ = false;
    // A string the app loads is text already: UTF-8.
    bodyCharset_ = job->options.html ? "utf-8" : job->response ? job->response->textEncodingName() : "";
    progress_ = 0.5;

    BackForwardListItem item;
    item.URL = url.value_or(URL());
    item.initialURL = job->navigation->initialRequest().url().value_or(item.URL);
    item.request = job->request;
    // A reload asks again as the first visit did: from the page that started it, wherever its redirects went.
    item.request.setNavigationInitiatorURL(job->navigation->initialRequest().navigationInitiatorURL());
    backForward_.commit(std::move(item), job->options.type, job->options.backForwardOffset);

    // Only an answer over HTTP has a status: a page the app gave as text, or about:blank, has none.
    committedStatus_ = http && url && isFetchable(*url) ? std::optional<int>(http->statusCode()) : std::nullopt;
    postPageEvent("page.commit", committedURL_, committedStatus_);
    if (client_) client_->engineDidCommit(job->navigation);
}

void PageEngine::data(const std::shared_ptr<Job>& job, const uint8_t* bytes, size_t size) {
    if (!isCurrent(job)) return;
    job->received += static_cast<int64_t>(size);
    size_t room = kMaxKeptBody - std::min(kMaxKeptBody, body_.size());
    body_.append(reinterpret_cast<const char*>(bytes), std::min(room, size));
    bodyCut_ = bodyCut_ || size > room;
    if (job->expected > 0)
        progress_ = 0.5 + 0.4 * std::min(1.0, static_cast<double>(job->received) / static_cast<double>(job->expected));
}

void PageEngine::complete(const std::shared_ptr<Job>& job, const std::optional<Error>& error) {
    if (!isCurrent(job)) return;
    job->task.reset();
    if (error) return fail(job, *error);
    if (job->stage != Job::Stage::Committed)  // a transfer that ended without a response we took
        return fail(job, makeURLError(URLErrorCode::BadServerResponse, job->request.url()));
    finish(job);
}

void PageEngine::finish(const std::shared_ptr<Job>& job) {
    auto self = shared_from_this();
    job->stage = Job::Stage::Done;
    current_.reset();
    std::string mime = job->response ? job->response->MIMEType() : "text/html";
    if (job->options.html || mime.empty() || mime == "text/html" || mime == "application/xhtml+xml")
        title_ = htmlTitle(body_);
    if (auto* item = backForward_.mutableCurrentItem()) item->title = title_;
    progress_ = 1.0;
    postPageEvent("page.finish", committedURL_, committedStatus_);
    if (client_) client_->engineDidFinish(job->navigation);
}

void PageEngine::fail(std::shared_ptr<Job> job, const Error& error) {
    auto self = shared_from_this();
    bool provisional = job->stage != Job::Stage::Committed;
    job->stage = Job::Stage::Done;
    job->cancelTask();
    job->task.reset();
    if (current_ == job) current_.reset();
    progress_ = 1.0;
    auto url = provisional ? job->request.url() : committedURL_;
    postPageFail(url, error);
    if (client_) client_->engineDidFail(job->navigation, error, provisional);
}

void PageEngine::abandonCurrent() {
    if (!current_) return;
    auto job = std::move(current_);
    current_.reset();
    job->stage = Job::Stage::Done;
    job->cancelTask();
    job->task.reset();
    progress_ = 1.0;
}

void PageEngine::stop() {
    startedGeneration_ = nextGeneration_ + 1;  // undecided loads are dropped too
    if (current_) fail(current_, makeURLError(URLErrorCode::Cancelled, current_->request.url()));
}

std::shared_ptr<Navigation> PageEngine::reload() {
    std::optional<URLRequest> request = committedRequest_;
    if (const auto* item = backForward_.currentItem()) request = item->request;
    // After a failed first load there is no page yet: try the failed request again.
    if (!request) request = lastStartedRequest_;
    if (!request) return nullptr;
    LoadOptions options;
    options.type = request->HTTPMethod() == "POST" ? NavigationType::FormResubmitted : NavigationType::Reload;
    options.sourceFrame = mainFrame();
    return load(*request, std::move(options));
}

std::shared_ptr<Navigation> PageEngine::goBy(int offset) {
    const auto* item = backForward_.itemAtIndex(offset);
    if (!item || offset == 0) return nullptr;
    if (backForward_.sameDocument(offset)) {
        // Another place in the page shown: nobody is asked, nothing loads.
        backForward_.moveBy(offset);
        moveWithinPage(backForward_.currentItem()->URL);
        return nullptr;
    }
    LoadOptions options;
    options.type = NavigationType::BackForward;
    options.backForwardOffset = offset;
    options.sourceFrame = mainFrame();
    // A move in the history is started by the page it leaves: its site decides which cookies go.
    URLRequest request = item->request;
    request.setNavigationInitiatorURL(committedURL_);
    return load(std::move(request), std::move(options));
}

namespace {

// Form reads run one at a time in the process, in the order they were asked for: each may take the reader's
// whole memory allowance, which so bounds the process's too, and a web view's next submit waits for its read.
const dispatch::DispatchQueue& formReads() {
    static const auto* queue = new dispatch::DispatchQueue("webkit.form-reads");  // reads may run during exit
    return *queue;
}

}  // namespace

void PageEngine::submitForm(const FormFill& fill,
                            std::function<void(const std::optional<std::string>& problem)> completion) {
    std::optional<std::string> problem;
    FormReader reader = formReader();
    if (!committedURL_) {
        problem = "no page is shown";
    } else if (bodyCut_) {
        problem = "the page is larger than " + std::to_string(kMaxKeptBody >> 20) +
                  " MiB, more than the headless web view reads a form from (run with --web-engine real)";
    } else if (!reader) {
        problem = "the headless web view has no form reader";
    }
    if (problem) {
        if (completion)
            dispatch::MainLoop::shared().post([completion = std::move(completion), problem] { completion(problem); });
        return;
    }
    // Read off the main thread: a large page takes seconds, and the main loop goes on meanwhile (a signal
    // to end the run is heard). The read gets a copy of the page, which a next one may replace.
    struct Read {
        std::string bytes;
        std::string charset;
        URL url;
        FormFill fill;
    };
    auto read = std::make_shared<const Read>(Read{body_, bodyCharset_, *committedURL_, fill});
    formReads().async([read, reader, stop = readsStop_, engine = weak_from_this(), page = pagesCommitted_,
                       completion = std::move(completion)] {
        auto made = std::make_shared<FormRequest>(reader({read->bytes, read->charset, read->url}, read->fill, *stop));
        dispatch::MainLoop::shared().post([made, engine, page, url = read->url, completion] {
            std::optional<std::string> problem = made->problem;
            auto self = engine.lock();
            if (!self || !self->client_) {
                problem = "the web view went away before its form was read";
            } else if (self->pagesCommitted_ != page) {
                problem = "another page was shown before the form was read";
            } else if (made->request) {
                problem = std::nullopt;
                addPageHeaders(*made->request, url, self->referrerPolicy_);
                if (made->noReferrer) made->request->setValue(std::nullopt, "Referer");
                made->request->setNavigationInitiatorURL(url);
                LoadOptions options;
                options.type = NavigationType::FormSubmitted;
                options.sourceFrame = self->mainFrame();
                self->load(std::move(*made->request), std::move(options));
            }
            if (completion) completion(problem);
        });
    });
}

URLRequest PageEngine::requestFromPage(const URL& url) const {
    URLRequest request(url);
    if (committedURL_) addPageHeaders(request, *committedURL_, referrerPolicy_);
    request.setNavigationInitiatorURL(committedURL_);
    return request;
}

bool movesWithinPage(const std::optional<URL>& page, const URLRequest& request, NavigationType type) {
    const auto& target = request.url();
    // A move in the history goes by its item's document instead (BackForwardList::sameDocument).
    if (!page || !target || type == NavigationType::Reload || type == NavigationType::FormResubmitted ||
        type == NavigationType::BackForward)
        return false;
    if (request.HTTPMethod() != "GET" || request.HTTPBody() || request.HTTPBodyStream()) return false;
    const std::string& to = target->absoluteString();
    const std::string& from = page->absoluteString();
    auto hash = to.find('#');
    return hash != std::string::npos && from.compare(0, from.find('#'), to, 0, hash) == 0;
}

void postPageEvent(const char* name, const std::optional<URL>& url, std::optional<int> status) {
    auto fields = Value::dictionary({{"url", Value(urlText(url))}});
    if (status) fields.set("status", Value(*status));
    DeviceEvents::post(name, std::move(fields));
}

void postPageFail(const std::optional<URL>& url, const Error& error) {
    DeviceEvents::post("page.fail", Value::dictionary({{"url", Value(urlText(url))},
                                                       {"code", Value(error.code)},
                                                       {"domain", Value(error.domain)},
                                                       {"description", Value(error.localizedDescription())}}));
}

}  // namespace platform::webkit::webkit_detail
