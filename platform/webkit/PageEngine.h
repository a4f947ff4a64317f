#pragma once
// Internal: the loading engine both web views share. It runs one main-frame page: decides, loads
// through the data store's URL session, commits, finishes or fails, keeps the back-forward list and
// posts the page events. Its owner (WebView or LegacyWebView) turns the engine's calls into its own
// delegate's callbacks. Main thread only; the session answers on the main loop.
//
// Posts DeviceEvents for every main-frame navigation: "navigation.decision" {url, type, decision},
// "page.start" {url}, "page.commit" {url}, "page.finish" {url}, "page.fail" {url, code}.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/webkit/BackForwardList.h"
#include "platform/webkit/WebKitTypes.h"

namespace platform::webkit {
class WebsiteDataStore;
}

namespace platform::webkit::webkit_detail {

// The engine's owner. Called on the main loop; the engine re-checks its state after each call,
// so an owner may start, stop or drop loads from inside any of them.
class EngineClient {
public:
    virtual ~EngineClient() = default;
    // The handler is already guarded (exactly once).
    virtual void engineDecideAction(const NavigationAction& action,
                                    std::function<void(NavigationActionPolicy)> decisionHandler) = 0;
    virtual void engineDecideResponse(const NavigationResponse& response,
                                      std::function<void(NavigationResponsePolicy)> decisionHandler) = 0;
    virtual void engineDidStart(const std::shared_ptr<Navigation>&) = 0;
    virtual void engineDidRedirect(const std::shared_ptr<Navigation>&) = 0;
    virtual void engineDidCommit(const std::shared_ptr<Navigation>&) = 0;
    virtual void engineDidFinish(const std::shared_ptr<Navigation>&) = 0;
    // provisional: the navigation had not committed yet.
    virtual void engineDidFail(const std::shared_ptr<Navigation>&, const Error& error, bool provisional) = 0;
};

struct LoadOptions {
    NavigationType type = NavigationType::Other;
    std::optional<FrameInfo> sourceFrame;
    int backForwardOffset = 0;        // BackForward: where the navigation moves in the list
    std::optional<std::string> html;  // loadHTMLString: the page itself, nothing is fetched
};

class PageEngine : public std::enable_shared_from_this<PageEngine> {
public:
    // Bodies kept for the title and pageSource(); the rest is counted, not kept.
    static constexpr size_t kMaxKeptBody = 1 << 20;

    PageEngine(std::shared_ptr<WebsiteDataStore> store, EngineClient* client);
    ~PageEngine();

    // The owner is going away: cut the load in flight short without telling anyone.
    void detach();

    // Starts a navigation: asks for the decision now (the answer may come later).
    std::shared_ptr<Navigation> load(URLRequest request, LoadOptions options);
    // Ends the load in flight with -999 (reported as a failure). No effect when idle.
    void stop();
    std::shared_ptr<Navigation> reload();
    std::shared_ptr<Navigation> goBy(int offset);

    std::optional<URL> committedURL() const { return committedURL_; }
    const std::string& title() const { return title_; }
    bool isLoading() const { return current_ != nullptr; }
    double estimatedProgress() const { return progress_; }
    const BackForwardList& backForwardList() const { return backForward_; }
    const std::string& pageSource() const { return body_; }
    // The main frame as delegates see it: its request has the committed URL (none before a commit).
    FrameInfo mainFrame() const;
    // The request of the load in flight, or of the last committed page.
    std::optional<URLRequest> currentRequest() const;
    // True while a load of `url` is in flight or its decision is still awaited.
    bool isLoadingOrDeciding(const URL& url) const;

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
    std::optional<URLRequest> lastStartedRequest_;
    std::string title_;
    std::string body_;
    double progress_ = 0;
    BackForwardList backForward_;
};

// Finds the <title> of an HTML document: whitespace collapsed, the common character references
// decoded; empty when there is none.
std::string htmlTitle(const std::string& html);

}  // namespace platform::webkit::webkit_detail
