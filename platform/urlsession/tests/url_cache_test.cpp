// The URL cache: what it keeps and drops, how each request cache policy reads it (the server's request
// counts tell hits from misses), and the delegate's willCacheResponse step.
#include <gtest/gtest.h>
#include <malloc.h>

#include <thread>

#include "platform/foundation/DeviceEvents.h"
#include "platform/urlsession/URLCache.h"
#include "platform/urlsession/tests/SessionTestSupport.h"
#include "testing/TestHttpServer.h"

using namespace urlsession_test;
using namespace std::chrono_literals;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer runtime's own count
#endif

namespace {

using Policy = URLRequestCachePolicy;

// Heap in use: what the process holds, not what the allocator keeps (a sanitizer's quarantine of
// freed blocks makes resident memory say nothing).
long heapInUseKB() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return long(__sanitizer_get_current_allocated_bytes() / 1024);
#else
    auto info = mallinfo2();
    return long((info.uordblks + info.hblkhd) / 1024);
#endif
}

URLRequest get(const std::string& address, Policy policy = Policy::UseProtocolCachePolicy) {
    return URLRequest(url(address), policy);
}

CachedURLResponse answer(const std::string& address, size_t bodySize, HTTPHeaderFields fields = {}) {
    return {std::make_shared<HTTPURLResponse>(url(address), 200, "HTTP/1.1", std::move(fields)), Bytes(bodySize, 'b'),
            URLCacheStoragePolicy::Allowed};
}

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Logs willCacheResponse ("willCache <size>") and answers it as the test says; can stop a response.
class CacheDelegate : public RecordingDelegate {
public:
    enum class Answer { Proposal, Rewrite, Refuse, Hold };
    Answer answer = Answer::Proposal;
    URLSessionResponseDisposition disposition = URLSessionResponseDisposition::Allow;
    std::function<void(std::optional<CachedURLResponse>)> held;
    CachedURLResponse heldProposal;
    long peakGrowthKB = 0;
    long baselineKB = 0;

    void willCacheResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                           CachedURLResponse proposed,
                           std::function<void(std::optional<CachedURLResponse>)> done) override {
        log("willCache " + std::to_string(proposed.data.size()));
        if (answer == Answer::Rewrite) proposed.data = Bytes{'n', 'e', 'w'};
        if (answer == Answer::Refuse) return done(std::nullopt);
        if (answer == Answer::Hold) {
            std::lock_guard lock(m_);
            held = std::move(done);
            heldProposal = std::move(proposed);
            return;
        }
        done(std::move(proposed));
    }
    void didReceiveResponse(const std::shared_ptr<URLSession>& s, const std::shared_ptr<URLSessionDataTask>& t,
                            const std::shared_ptr<const URLResponse>& r,
                            std::function<void(URLSessionResponseDisposition)> done) override {
        RecordingDelegate::didReceiveResponse(s, t, r, [](URLSessionResponseDisposition) {});
        done(disposition);
    }
    void didReceiveData(const std::shared_ptr<URLSession>& s, const std::shared_ptr<URLSessionDataTask>& t,
                        const Bytes& data) override {
        size_t before = received;
        RecordingDelegate::didReceiveData(s, t, data);
        if (baselineKB && received / (4 << 20) != before / (4 << 20))
            peakGrowthKB = std::max(peakGrowthKB, heapInUseKB() - baselineKB);
    }
};

class CacheTest : public ::testing::Test {
protected:
    CacheTest() {
        auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
        configuration.URLCache = cache;
        configuration.maximumDataTaskBodyLength = 0;  // the delegate counts large bodies, keeps none
        session = URLSession::sessionWithConfiguration(configuration, delegate, nullptr);
    }
    ~CacheTest() override { session->invalidateAndCancel(); }

    // Runs a delegate-style data task until `last` and answers what the delegate heard.
    std::vector<std::string> eventsOf(const URLRequest& request, const std::string& last = "complete 0") {
        {
            std::lock_guard lock(delegate->m_);
            delegate->events.clear();
        }
        session->dataTaskWithRequest(request)->resume();
        EXPECT_TRUE(delegate->waitFor(last));
        return delegate->snapshot();
    }
    std::optional<std::string> stored(const std::string& address) {
        auto c = cache->cachedResponseForRequest(get(address));
        return c ? std::optional(text(c->data)) : std::nullopt;
    }

    DeviceRoot device;
    TestHttpServer server;
    std::shared_ptr<URLCache> cache = std::make_shared<URLCache>(1 << 20);
    std::shared_ptr<CacheDelegate> delegate = std::make_shared<CacheDelegate>();
    std::shared_ptr<URLSession> session;
};

}  // namespace

TEST(URLCacheTest, StaysWithinCapacityDroppingTheLeastRecentlyUsed) {
    URLCache cache(2000);  // entries up to 100 bytes
    auto address = [](int i) { return "https://h.example/" + std::string(i < 10 ? "0" : "") + std::to_string(i); };
    for (int i = 0; i < 25; ++i) cache.storeCachedResponse(answer(address(i), 60), get(address(i)));  // 80 each
    EXPECT_EQ(cache.currentMemoryUsage(), 2000u);
    EXPECT_TRUE(cache.cachedResponseForRequest(get(address(0))));  // now the most recently used
    cache.storeCachedResponse(answer(address(25), 60), get(address(25)));
    EXPECT_TRUE(cache.cachedResponseForRequest(get(address(0))));
    EXPECT_FALSE(cache.cachedResponseForRequest(get(address(1))));
    EXPECT_EQ(cache.currentMemoryUsage(), 2000u);

    // Over 5% of the capacity: not kept, and what was stored for the URL is outdated all the same.
    cache.storeCachedResponse(answer(address(0), 81), get(address(0)));
    EXPECT_FALSE(cache.cachedResponseForRequest(get(address(0))));
    auto refused = answer(address(2), 10);
    refused.storagePolicy = URLCacheStoragePolicy::NotAllowed;
    cache.storeCachedResponse(refused, get(address(2)));
    EXPECT_FALSE(cache.cachedResponseForRequest(get(address(2))));
    EXPECT_EQ(cache.currentMemoryUsage(), 2000u - 160);

    // GET answers only, keyed without the fragment.
    URLRequest post = get(address(3));
    post.setHTTPMethod("POST");
    EXPECT_FALSE(cache.cachedResponseForRequest(post));
    EXPECT_TRUE(cache.cachedResponseForRequest(get(address(3) + "#part")));

    cache.setMemoryCapacity(400);
    EXPECT_LE(cache.currentMemoryUsage(), 400u);
    EXPECT_TRUE(cache.cachedResponseForRequest(get(address(3))));  // used last, kept
    EXPECT_EQ(cache.maximumEntrySize(), 20u);
    cache.removeCachedResponseForRequest(get(address(3)));
    EXPECT_FALSE(cache.cachedResponseForRequest(get(address(3))));
    cache.removeAllCachedResponses();
    EXPECT_EQ(cache.currentMemoryUsage(), 0u);
}

TEST(URLCacheTest, VaryMatchesOnlyRequestsWithTheSameFields) {
    URLCache cache(1 << 20);
    const std::string address = "https://h.example/v";
    HTTPHeaderFields vary;
    vary.set("Vary", "Accept-Language");
    URLRequest english = get(address);
    english.setValue("en", "accept-language");
    cache.storeCachedResponse(answer(address, 5, vary), english);
    EXPECT_TRUE(cache.cachedResponseForRequest(english));
    URLRequest french = english;
    french.setValue("fr", "Accept-Language");
    EXPECT_FALSE(cache.cachedResponseForRequest(french));
    EXPECT_FALSE(cache.cachedResponseForRequest(get(address)));

    HTTPHeaderFields any;
    any.set("Vary", "*");
    cache.storeCachedResponse(answer(address, 5, any), english);
    EXPECT_FALSE(cache.cachedResponseForRequest(english));
}

TEST_F(CacheTest, EachPolicyReadsTheCacheItsWay) {
    server.route("GET", "/r", Reply::text("one"));  // no lifetime: never fresh
    const auto r = server.url("/r");
    auto count = [&] { return server.requestsTo("/r").size(); };
    EXPECT_EQ(fetch(session, get(r, Policy::ReloadIgnoringLocalCacheData)).body, "one");
    EXPECT_EQ(stored(r), "one");  // the network answer is kept whatever the policy
    EXPECT_EQ(fetch(session, get(r)).body, "one");
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(fetch(session, get(r, Policy::ReturnCacheDataElseLoad)).body, "one");
    EXPECT_EQ(fetch(session, get(r, Policy::ReturnCacheDataDontLoad)).body, "one");
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(fetch(session, get(r, Policy::ReloadIgnoringLocalCacheData)).body, "one");
    EXPECT_EQ(count(), 3u);

    // A stored answer needs no network at all.
    PlatformConfig::setNetworkUp(false);
    EXPECT_EQ(fetch(session, get(r, Policy::ReturnCacheDataElseLoad)).body, "one");
    auto missing = fetch(session, get(server.url("/missing"), Policy::ReturnCacheDataDontLoad));
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->code, int64_t(URLErrorCode::ResourceUnavailable));
    PlatformConfig::setNetworkUp(true);
    EXPECT_EQ(fetch(session, get(server.url("/missing"), Policy::ReturnCacheDataElseLoad)).error, std::nullopt);
    EXPECT_EQ(server.requestsTo("/missing").size(), 1u);

    // A request for a part or with a condition is the server's to answer.
    URLRequest ranged = get(r, Policy::ReturnCacheDataElseLoad);
    ranged.setValue("bytes=0-0", "Range");
    fetch(session, ranged);
    EXPECT_EQ(count(), 4u);
}

TEST_F(CacheTest, ProtocolPolicyUsesAnAnswerOnlyWhileItIsFresh) {
    const auto now = Date::now();
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, std::string>> answered;
        std::optional<std::pair<std::string, std::string>> asked;  // on the second request
        bool fresh;
    };
    const std::vector<Case> cases = {
        {"max-age", {{"Cache-Control", "max-age=3600"}}, {}, true},
        {"expires", {{"Expires", now.addingTimeInterval(3600).httpDate()}}, {}, true},
        {"no-lifetime", {}, {}, false},
        {"old-date", {{"Cache-Control", "max-age=60"}, {"Date", now.addingTimeInterval(-120).httpDate()}}, {}, false},
        {"aged", {{"Cache-Control", "max-age=60"}, {"Age", "61"}}, {}, false},
        {"expired", {{"Expires", now.addingTimeInterval(-10).httpDate()}}, {}, false},
        {"bad-expires", {{"Expires", "0"}}, {}, false},
        {"bad-max-age",
         {{"Cache-Control", "max-age=soon"}, {"Expires", now.addingTimeInterval(3600).httpDate()}},
         {},
         false},
        {"no-cache", {{"Cache-Control", "max-age=3600, no-cache"}}, {}, false},
        {"asked-no-cache", {{"Cache-Control", "max-age=3600"}}, {{"Cache-Control", "no-cache"}}, false},
        {"asked-pragma", {{"Cache-Control", "max-age=3600"}}, {{"Pragma", "no-cache"}}, false},
        {"asked-max-age-0", {{"Cache-Control", "max-age=3600"}}, {{"Cache-Control", "max-age=0"}}, false},
    };
    for (const auto& c : cases) {
        Reply reply = Reply::text(c.name);
        for (const auto& [name, value] : c.answered) reply.header(name, value);
        server.route("GET", "/" + c.name, reply);
        URLRequest request = get(server.url("/" + c.name));
        EXPECT_EQ(fetch(session, request).body, c.name);
        if (c.asked) request.setValue(c.asked->second, c.asked->first);
        EXPECT_EQ(fetch(session, request).body, c.name);
        EXPECT_EQ(server.requestsTo("/" + c.name).size(), c.fresh ? 1u : 2u) << c.name;
    }
}

TEST_F(CacheTest, NoStoreAndUnsafeMethodsLeaveNothingBehind) {
    server.route("GET", "/s", {Reply::text("kept"), Reply::text("secret").header("Cache-Control", "no-store")});
    const auto s = server.url("/s");
    fetch(session, get(s));
    EXPECT_EQ(stored(s), "kept");
    fetch(session, get(s, Policy::ReloadIgnoringLocalCacheData));
    EXPECT_EQ(stored(s), std::nullopt) << "a newer answer that may not be kept outdates the stored one";

    server.route("GET", "/a", Reply::text("asked"));
    URLRequest asked = get(server.url("/a"));
    asked.setValue("no-store", "Cache-Control");
    fetch(session, asked);
    EXPECT_EQ(stored(server.url("/a")), std::nullopt);
    EXPECT_EQ(cache->currentMemoryUsage(), 0u);

    server.route("GET", "/item", Reply::text("v1"));
    server.route("POST", "/item", Reply::text("", 201));
    fetch(session, get(server.url("/item")));
    ASSERT_EQ(stored(server.url("/item")), "v1");
    URLRequest post = get(server.url("/item"));
    post.setHTTPMethod("POST");
    fetch(session, post);
    EXPECT_EQ(stored(server.url("/item")), std::nullopt);
}

TEST_F(CacheTest, CachedAnswerTakesTheDelegateRoadWithoutTheNetwork) {
    server.route("GET", "/page", Reply::text("page body").header("Cache-Control", "max-age=600"));
    const URLRequest page = get(server.url("/page"));
    EXPECT_EQ(eventsOf(page), (std::vector<std::string>{"response 200", "willCache 9", "complete 0"}));

    std::atomic<int> announced{0};
    auto token = DeviceEvents::addListener([&](const std::string& event, const Value&) {
        if (event == "http.request") ++announced;
    });
    delegate->body.clear();
    EXPECT_EQ(eventsOf(page), (std::vector<std::string>{"response 200", "complete 0"}));
    EXPECT_EQ(delegate->body, "page body");
    {
        std::lock_guard lock(delegate->m_);
        ASSERT_EQ(delegate->metrics.transactionMetrics.size(), 1u);
        EXPECT_EQ(delegate->metrics.transactionMetrics[0].resourceFetchType,
                  URLSessionTaskMetricsResourceFetchType::LocalCache);
    }
    EXPECT_EQ(fetch(session, page).body, "page body");

    delegate->disposition = URLSessionResponseDisposition::Cancel;
    delegate->body.clear();
    EXPECT_EQ(eventsOf(page, "complete -999"), (std::vector<std::string>{"response 200", "complete -999"}));
    EXPECT_EQ(delegate->body, "");

    // A download is answered from the cache as well.
    auto download = session->downloadTaskWithRequest(page);
    download->resume();
    ASSERT_TRUE(delegate->waitFor("finished"));
    EXPECT_EQ(delegate->downloadedSize, 9);
    EXPECT_EQ(server.requestsTo("/page").size(), 1u);
    EXPECT_EQ(announced, 0);
}

TEST_F(CacheTest, DelegateRewritesRefusesOrDelaysWhatIsKept) {
    server.route("GET", "/w", Reply::text("original"));
    const auto w = server.url("/w");
    delegate->answer = CacheDelegate::Answer::Rewrite;
    eventsOf(get(w));
    EXPECT_EQ(stored(w), "new");
    EXPECT_EQ(fetch(session, get(w, Policy::ReturnCacheDataElseLoad)).body, "new");

    delegate->answer = CacheDelegate::Answer::Refuse;
    eventsOf(get(w, Policy::ReloadIgnoringLocalCacheData));
    EXPECT_EQ(stored(w), std::nullopt);

    delegate->answer = CacheDelegate::Answer::Hold;
    {
        std::lock_guard lock(delegate->m_);
        delegate->events.clear();
    }
    auto task = session->dataTaskWithRequest(get(w));
    task->resume();
    ASSERT_TRUE(delegate->waitFor("willCache 8"));
    EXPECT_FALSE(delegate->waitForPrefix("complete", 200ms)) << "completed before the cache answer";
    EXPECT_EQ(task->state(), URLSessionTaskState::Running);
    std::function<void(std::optional<CachedURLResponse>)> done;
    CachedURLResponse proposal;
    {
        std::lock_guard lock(delegate->m_);
        done = delegate->held;
        proposal = delegate->heldProposal;
    }
    EXPECT_EQ(stored(w), std::nullopt);
    std::thread([done, proposal] { done(proposal); }).join();  // any thread may answer
    ASSERT_TRUE(delegate->waitFor("complete 0"));
    EXPECT_EQ(delegate->snapshot(), (std::vector<std::string>{"response 200", "willCache 8", "complete 0"}));
    EXPECT_EQ(stored(w), "original");

    // A completion-handler task is not asked; its answer is kept as proposed.
    cache->removeAllCachedResponses();
    EXPECT_EQ(fetch(session, get(w)).body, "original");
    EXPECT_EQ(stored(w), "original");
    auto events = delegate->snapshot();
    EXPECT_EQ(std::count(events.begin(), events.end(), "willCache 8"), 1);
}

TEST_F(CacheTest, LargeBodiesAreNeitherKeptNorProposed) {
    cache->setMemoryCapacity(100 << 20);  // entries up to 5 MB
    constexpr uint64_t kSize = 96ull << 20;
    server.route("GET", "/big", Reply::streamed(kSize, /*sendContentLength=*/false));
    delegate->countOnly = true;
    delegate->baselineKB = heapInUseKB();
    eventsOf(get(server.url("/big")));
    EXPECT_EQ(delegate->received, kSize);
    EXPECT_LT(delegate->peakGrowthKB, 40 * 1024) << "the heap grew by " << delegate->peakGrowthKB << " KB";
    EXPECT_EQ(delegate->snapshot(), (std::vector<std::string>{"response 200", "complete 0"}));
    EXPECT_EQ(cache->currentMemoryUsage(), 0u);
}

TEST_F(CacheTest, EphemeralCachesAreTheirOwnDefaultOnesShareOne) {
    EXPECT_EQ(URLSessionConfiguration::defaultSessionConfiguration().URLCache, URLCache::sharedURLCache());
    auto mine = URLSessionConfiguration::ephemeralSessionConfiguration();
    auto other = URLSessionConfiguration::ephemeralSessionConfiguration();
    ASSERT_TRUE(mine.URLCache && other.URLCache);
    EXPECT_NE(mine.URLCache, other.URLCache);
    EXPECT_NE(mine.URLCache, URLCache::sharedURLCache());

    server.route("GET", "/e", Reply::text("e").header("Cache-Control", "max-age=600"));
    const auto e = server.url("/e");
    auto first = URLSession::sessionWithConfiguration(mine);
    auto second = URLSession::sessionWithConfiguration(other);
    other.URLCache = nullptr;
    auto uncached = URLSession::sessionWithConfiguration(other);
    fetch(first, get(e));
    fetch(first, get(e));
    EXPECT_EQ(server.requestsTo("/e").size(), 1u);
    fetch(second, get(e));
    EXPECT_EQ(server.requestsTo("/e").size(), 2u);
    fetch(uncached, get(e));
    EXPECT_EQ(fetch(uncached, get(e, Policy::ReturnCacheDataDontLoad)).error->code,
              int64_t(URLErrorCode::ResourceUnavailable));
    EXPECT_EQ(server.requestsTo("/e").size(), 3u);
    EXPECT_FALSE(URLCache::sharedURLCache()->cachedResponseForRequest(get(e)));
    for (auto& s : {first, second, uncached}) s->invalidateAndCancel();
}
