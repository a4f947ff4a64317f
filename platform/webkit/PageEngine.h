#pragma once
// Internal: the loading engine both web views share. It runs one main-frame page: decides, loads
// through the data store's URL session, commits, finishes or fails, keeps the back-forward list and
// posts the page events. Its owner (WebView or LegacyWebView) turns the engine's calls into its own
// delegate's callbacks. Main thread only; the session answers on the main loop.
//
// Posts DeviceEvents for every main-frame navigation: "navigation.decision" {url, type, decision},
// "page.start" {url}, "page.commit" {url, status?}, "page.finish" {url, status?}, "page.fail" {url, code, domain,
// description}.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/webkit/BackForwardList.h"
#include "platform/webkit/PageBackend.h"
#include "platform/webkit/WebKitTypes.h"

namespace platform::webkit {
class WebsiteDataStore;
}

namespace platform::webkit::webkit_detail {

// How much of a page's URL the requests it starts tell their server: a page's Referrer-Policy.
enum class ReferrerPolicy {
    NoReferrer,
    NoReferrerWhenDowngrade,
    SameOrigin,
    Origin,
    StrictOrigin,
    OriginWhenCrossOrigin,
    StrictOriginWhenCrossOrigin,  // a browser's default
    UnsafeURL,
};

class PageEngine : public PageBackend, public std::enable_shared_from_this<PageEngine> {
public:
    // Bodies kept for the title, pageSource() and forms; the rest is counted, not kept, and a form of such
    // a page is refused rather than read in part.
    static constexpr size_t kMaxKeptBody = 32 << 20;

    PageEngine(std::shared_ptr<WebsiteDataStore> store, EngineClient* client);
    ~PageEngine() override;

    // The owner is going away: cut the load in flight short without telling anyone.
    void detach() override;

    // Starts a navigation: asks for the decision now (the answer may come later).
    std::shared_ptr<Navigation> load(URLRequest request, LoadOptions options) override;
    // Ends the load in flight with -999 (reported as a failure). No effect when idle.
    void stop() override;
    std::shared_ptr<Navigation> reload() override;
    std::shared_ptr<Navigation> goBy(int offset) override;

    std::optional<URL> committedURL() const override { return committedURL_; }
    std::string title() const override { return title_; }
    bool isLoading() const override { return current_ != nullptr; }
    double estimatedProgress() const override { return progress_; }
    const BackForwardList& backForwardList() const override { return backForward_; }
    const std::string& pageSource() const override { return body_; }
    // The main frame as delegates see it: its request has the committed URL (none before a commit).
    FrameInfo mainFrame() const override;
    // The request of the load in flight, or of the last committed page.
    std::optional<URLRequest> currentRequest() const override;
    // True while a load of `url` is in flight or its decision is still awaited.
    bool isLoadingOrDeciding(const URL& url) const override;
    // The form is read from the page's source by the form reader (FormReader.h), off the main thread and
    // one read at a time in the process (a submit waits for the reads asked for before it).
    void submitForm(const FormFill& fill,
                    std::function<void(const std::optional<std::string>& problem)> completion) override;
    URLRequest requestFromPage(const URL& url) const override;

    class Job;

private:
    friend class Job;
    void actionDecided(const std::shared_ptr<Job>& job, NavigationActionPolicy policy);
    void begin(const std::shared_ptr<Job>& job);
    void redirect(const std::shared_ptr<Job>& job, const std::shared_ptr<const HTTPURLResponse>& response,
                  URLRequest newRequest, std::function<void(std::optional<URLRequest>)> completion);
    void response(const std::shared_ptr<Job>& job, const std::shared_ptr<const URLResponse>& response,
                  std::function<void(bool allow)> completion);
    void data(const std::shared_ptr<Job>& job, const uint8_t* bytes, size_t size);
    void complete(const std::shared_ptr<Job>& job, const std::optional<Error>& error);
    void commit(const std::shared_ptr<Job>& job);
    void finish(const std::shared_ptr<Job>& job);
    void fail(std::shared_ptr<Job> job, const Error& error);  // by value: callers pass current_
    // The page shown moved to `url`, a fragment of it.
    void moveWithinPage(const URL& url);
    // Drops the load in flight quietly (a cancelled decision).
    void abandonCurrent();
    bool isCurrent(const std::shared_ptr<Job>& job) const { return job && current_ == job; }

    std::shared_ptr<WebsiteDataStore> store_;
    EngineClient* client_;
    std::shared_ptr<Job> current_;    // the navigation past its decision, until it ends
    std::weak_ptr<Job> latestAsked_;  // the newest load(), while its decision handler lives
    uint64_t nextGeneration_ = 0;     // loads in the order they were asked for
    uint64_t startedGeneration_ = 0;  // the newest load that started; older undecided ones are dropped
    std::optional<URL> committedURL_;
    std::optional<URLRequest> committedRequest_;
    std::optional<int> committedStatus_;  // the committed page's HTTP status; none without an HTTP answer
    std::optional<URLRequest> lastStartedRequest_;
    std::string title_;
    std::string body_;
    ReferrerPolicy referrerPolicy_ = ReferrerPolicy::StrictOriginWhenCrossOrigin;  // the committed page's
    bool bodyCut_ = false;                                                         // more came than body_ keeps
    std::string bodyCharset_;      // the charset the page's answer named
    uint64_t pagesCommitted_ = 0;  // a form read is sent only if its page is still the one shown
    // Set when the engine goes away: its form reads in progress stop.
    std::shared_ptr<std::atomic<bool>> readsStop_ = std::make_shared<std::atomic<bool>>(false);
    double progress_ = 0;
    BackForwardList backForward_;
};

// Posts "page.commit" or "page.finish" (`name`) of the page at `url`, with the HTTP status of its answer
// when it had one (both engines).
void postPageEvent(const char* name, const std::optional<URL>& url, std::optional<int> status);
// Posts "page.fail" for a navigation of `url` that ended with `error` (both engines): its description is
// the error's own localised one.
void postPageFail(const std::optional<URL>& url, const Error& error);

// The policy a Referrer-Policy header names: its last token that names one, else none.
std::optional<ReferrerPolicy> referrerPolicyIn(const std::optional<std::string>& header);
// The same, with the default when the header names none.
ReferrerPolicy referrerPolicyOf(const std::optional<std::string>& header);
// The Referer a request to `target` started by the page at `page` carries, if any: the page's URL without
// credentials and fragment, or only its origin ("https://host/"), as `policy` says. A page that is not
// http or https gives none.
std::optional<std::string> referrerFor(const URL& page, const URL& target, ReferrerPolicy policy);
// The Origin a request to `target` started by the page at `page` carries under `policy`: the page's
// origin, or "null" under no-referrer, and under same-origin to another origin. None for a page that is
// not http or https.
std::optional<std::string> originFor(const URL& page, const URL& target, ReferrerPolicy policy);
// `request`, started by the page at `page`, as a browser sends it: the Referer above, and for a method
// other than GET and HEAD the Origin above.
void addPageHeaders(URLRequest& request, const URL& page, ReferrerPolicy policy);
// A redirect's next hop under `policy` (the page's, or the last one a hop's answer named): the Referer
// `previous` sent, cut again for the new URL; no Origin once the request became a GET, "null" once it
// went to another origin (the policy does not change the Origin).
void carryPageHeaders(const URLRequest& previous, URLRequest& next, ReferrerPolicy policy);

// The Sec-Fetch-Dest, -Mode and -Site of a page load of `type`, as the real engine sends them (no
// Sec-Fetch-User: the host's taps are no gesture of the user's to it): "none" for a load the app asks for,
// a reload and a move in the history, else where the request's initiator is from its URL; a redirect's next
// hop (`redirected`, with the headers of the last) keeps the furthest its chain has been.
void setFetchMetadata(URLRequest& request, NavigationType type, bool redirected);

// Whether a navigation of `type` sending `request` only moves within the document shown at `page`, as a
// browser's to a fragment of it does: a GET of the same URL but for a fragment, and with one, that is no
// reload nor a move in the history. It sends nothing and loads nothing; the page's URL takes the new fragment.
bool movesWithinPage(const std::optional<URL>& page, const URLRequest& request, NavigationType type);

// Finds the <title> of an HTML document: whitespace collapsed, the common character references
// decoded; empty when there is none.
std::string htmlTitle(const std::string& html);

}  // namespace platform::webkit::webkit_detail
