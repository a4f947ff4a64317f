#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/Stream.h"
#include "platform/urlsession/internal/Engine.h"
#include "platform/urlsession/tests/SessionTestSupport.h"
#include "testing/ClosedPort.h"
#include "testing/TestHttpServer.h"

using namespace urlsession_test;
using namespace std::chrono_literals;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

// Rows: the connection limit per host of the session, one engine (6) or several (64).
class SessionTest : public ::testing::TestWithParam<int> {
protected:
    static URLSessionConfiguration configuration() {
        auto c = URLSessionConfiguration::ephemeralSessionConfiguration();
        c.HTTPMaximumConnectionsPerHost = GetParam();
        return c;
    }
    DeviceRoot device;
    TestHttpServer server;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<URLSession> session = URLSession::sessionWithConfiguration(configuration(), delegate, nullptr);

    ~SessionTest() override { session->invalidateAndCancel(); }
};

TEST_P(SessionTest, GetAndPostCarryHeadersAndBodies) {
    server.route("GET", "/hello", Reply::text("hi there").header("X-Answer", "42"));
    server.route("POST", "/echo", Reply::dynamic([](const tesmar_testing::RecordedRequest& r, Reply& out) {
                     out = Reply::text("got " + r.body, 201);
                 }));
    URLRequest get(url(server.url("/hello")));
    get.setValue("yes", "X-Custom");
    auto r = fetch(session, get);
    ASSERT_FALSE(r.error) << r.error->description();
    EXPECT_EQ(r.body, "hi there");
    EXPECT_EQ(r.response->statusCode(), 200);
    EXPECT_EQ(r.response->valueForHTTPHeaderField("x-answer"), "42");
    EXPECT_EQ(r.response->MIMEType(), "text/plain");
    EXPECT_EQ(r.response->textEncodingName(), "utf-8");
    EXPECT_EQ(server.requestsTo("/hello").at(0).header("X-Custom"), "yes");
    // Defaults a caller did not set; a caller's own (any letter case) wins.
    EXPECT_EQ(server.requestsTo("/hello").at(0).header("User-Agent"), PlatformConfig::processName() + " (URLSession)");
    EXPECT_EQ(server.requestsTo("/hello").at(0).header("Accept"), "*/*");
    get.setValue("probe/1", "user-agent");
    get.setValue("text/plain", "accept");
    ASSERT_FALSE(fetch(session, get).error);
    EXPECT_EQ(server.requestsTo("/hello").at(1).header("User-Agent"), "probe/1");
    EXPECT_EQ(server.requestsTo("/hello").at(1).header("Accept"), "text/plain");
    EXPECT_FALSE(server.requestsTo("/hello").at(1).hasHeader("Expect"));

    URLRequest post(url(server.url("/echo")));
    post.setHTTPMethod("POST");
    post.setHTTPBody(Bytes{'a', 'b', 'c'});
    auto p = fetch(session, post);
    EXPECT_EQ(p.response->statusCode(), 201);
    EXPECT_EQ(p.body, "got abc");
    auto recorded = server.requestsTo("/echo").at(0);
    EXPECT_FALSE(recorded.hasHeader("Content-Type"));  // no form type invented for the caller
    EXPECT_FALSE(recorded.hasHeader("Expect"));
}

TEST_P(SessionTest, DelegateHearsResponseDataMetricsAndCompletionInOrder) {
    server.route("GET", "/d", Reply::text(std::string(100000, 'x')));
    auto task = session->dataTaskWithURL(url(server.url("/d")));
    task->resume();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    auto events = delegate->snapshot();
    EXPECT_EQ(events, (std::vector<std::string>{"response 200", "complete 0"}));
    EXPECT_EQ(delegate->received, 100000u);
    EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
    EXPECT_EQ(task->countOfBytesReceived(), 100000);
    ASSERT_EQ(delegate->metrics.transactionMetrics.size(), 1u);
    const auto& m = delegate->metrics.transactionMetrics[0];
    EXPECT_TRUE(m.fetchStartDate && m.requestStartDate && m.responseStartDate && m.responseEndDate);
    EXPECT_LE(*m.fetchStartDate, *m.responseEndDate);
}

TEST_P(SessionTest, RedirectsAreAskedOfTheDelegate) {
    server.route("GET", "/old", Reply::redirect("/new"));
    server.route("GET", "/new", Reply::text("new place"));
    server.route("GET", "/elsewhere", Reply::text("rewritten"));

    // Refused: the 302 completes the task.
    delegate->redirectPolicy = [](URLRequest&, std::optional<URLRequest>& answer) { answer.reset(); };
    auto task = session->dataTaskWithURL(url(server.url("/old")));
    task->resume();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_EQ(delegate->snapshot(), (std::vector<std::string>{"redirect 302 /new", "response 302", "complete 0"}));
    EXPECT_EQ(server.requestsTo("/new").size(), 0u);

    // Rewritten: the delegate's request is the one made.
    delegate->events.clear();
    delegate->redirectPolicy = [&](URLRequest&, std::optional<URLRequest>& answer) {
        answer = URLRequest(url(server.url("/elsewhere")));
    };
    auto second = session->dataTaskWithURL(url(server.url("/old")));
    second->resume();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_EQ(delegate->body, "rewritten");
    EXPECT_EQ(second->currentRequest()->url()->path(), "/elsewhere");
    EXPECT_EQ(second->originalRequest()->url()->path(), "/old");
    EXPECT_EQ(server.requestsTo("/new").size(), 0u);
}

TEST_P(SessionTest, CookiesAreStoredFromRedirectsAndSentOnlyWhereTheyBelong) {
    server.route("GET", "/login", Reply::redirect("/app/home").header("Set-Cookie", "sid=abc; Path=/app"));
    server.route("GET", "/app/home", Reply::text("home"));
    server.route("GET", "/public", Reply::text("public"));
    fetch(session, URLRequest(url(server.url("/login"))));
    fetch(session, URLRequest(url(server.url("/public"))));
    URLRequest noCookies(url(server.url("/app/home")));
    noCookies.setHTTPShouldHandleCookies(false);
    fetch(session, noCookies);

    auto home = server.requestsTo("/app/home");
    ASSERT_EQ(home.size(), 2u);
    EXPECT_EQ(home[0].header("Cookie"), "sid=abc");
    EXPECT_FALSE(home[1].hasHeader("Cookie"));
    EXPECT_FALSE(server.requestsTo("/public").at(0).hasHeader("Cookie"));
    EXPECT_EQ(session->configuration().HTTPCookieStorage->cookies().size(), 1u);
}

TEST_P(SessionTest, UploadFromAStreamTheDelegateSupplies) {
    server.route("PUT", "/up", Reply::dynamic([](const tesmar_testing::RecordedRequest& r, Reply& out) {
                     out = Reply::text(std::to_string(r.body.size()));
                 }));
    std::string payload(300000, 'p');
    delegate->bodyStream = [&] { return InputStream::withData(Bytes(payload.begin(), payload.end())); };
    URLRequest put(url(server.url("/up")));
    put.setHTTPMethod("PUT");
    auto task = session->uploadTaskWithStreamedRequest(put);
    task->resume();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_EQ(delegate->snapshot().front(), "needBody");
    EXPECT_EQ(delegate->body, "300000");
    EXPECT_EQ(server.requestsTo("/up").at(0).body, payload);
    EXPECT_EQ(task->countOfBytesSent(), 300000);
}

TEST_P(SessionTest, FailuresMapToURLErrors) {
    server.route("GET", "/slow", Reply::text("late").after(3000ms));
    server.route("GET", "/drop", Reply::drop());
    struct Case {
        std::string name;
        std::string address;
        double timeout;
        URLErrorCode code;
    };
    tesmar_testing::ClosedPort closedPort;
    std::vector<Case> cases = {
        {"idle time-out", server.url("/slow"), 0.3, URLErrorCode::TimedOut},
        {"dropped connection", server.url("/drop"), 5, URLErrorCode::NetworkConnectionLost},
        {"nothing listening", "http://127.0.0.1:" + std::to_string(closedPort.port()) + "/", 5,
         URLErrorCode::CannotConnectToHost},
        {"unknown host", "http://no-such-host.invalid/", 5, URLErrorCode::CannotFindHost},
        {"unsupported scheme", "ftp://127.0.0.1/x", 5, URLErrorCode::UnsupportedURL},
    };
    for (const auto& c : cases) {
        URLRequest request(url(c.address));
        request.setTimeoutInterval(c.timeout);
        auto r = fetch(session, request);
        ASSERT_TRUE(r.error) << c.name;
        EXPECT_EQ(r.error->domain, kURLErrorDomain) << c.name;
        EXPECT_EQ(r.error->code, int64_t(c.code)) << c.name << ": " << r.error->description();
        EXPECT_EQ(r.error->userInfo[kURLErrorFailingURLStringErrorKey].stringOr(""), c.address) << c.name;
    }
    URLRequest slow(url(server.url("/slow")));
    slow.setTimeoutInterval(0.3);
    EXPECT_EQ(fetch(session, slow).error->localizedDescription(), "The request timed out.");
}

TEST_P(SessionTest, NetworkDownFailsEveryTransferAtOnce) {
    server.route("GET", "/x", Reply::text("x"));
    PlatformConfig::setNetworkUp(false);
    auto r = fetch(session, URLRequest(url(server.url("/x"))));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, int64_t(URLErrorCode::NotConnectedToInternet));
    EXPECT_EQ(r.error->localizedDescription(), "The Internet connection appears to be offline.");
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_P(SessionTest, CancelBeforeAndDuringTransferEndsWithCancelled) {
    auto gate = tesmar_testing::Gate::make();
    server.route("GET", "/held", Reply::text("held").heldBy(gate));
    auto never = session->dataTaskWithURL(url(server.url("/held")));
    never->cancel();
    never->cancel();  // repeatable
    auto running = session->dataTaskWithURL(url(server.url("/held")));
    running->resume();
    ASSERT_TRUE(server.waitForRequests(1));
    running->cancel();
    ASSERT_TRUE(delegate->waitForCount("complete -999", 2));
    EXPECT_EQ(running->state(), URLSessionTaskState::Completed);
    EXPECT_EQ(running->error()->localizedDescription(), "cancelled");
    EXPECT_NE(never->taskIdentifier(), running->taskIdentifier());
    gate->open();
}

TEST_P(SessionTest, InvalidationCancelsTasksAndReleasesTheDelegate) {
    auto gate = tesmar_testing::Gate::make();
    server.route("GET", "/held", Reply::text("held").heldBy(gate));
    session->dataTaskWithURL(url(server.url("/held")))->resume();
    ASSERT_TRUE(server.waitForRequests(1));
    session->invalidateAndCancel();
    ASSERT_TRUE(delegate->waitFor("invalid"));
    auto events = delegate->snapshot();
    EXPECT_EQ(events, (std::vector<std::string>{"complete -999", "invalid"}));
    gate->open();
}

// Counts move on other threads, with nothing to wait on: look until `check` holds.
bool eventually(const std::function<bool()>& check, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!check()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Process-wide counts move once a callback has returned.
bool tasksInFlightBecomes(size_t expected) {
    return eventually([&] { return URLSession::tasksInFlight() == expected; });
}

TEST_P(SessionTest, TasksInFlightCountFromFirstResumeUntilTheCompletionHasRun) {
    auto gate = tesmar_testing::Gate::make();
    server.route("GET", "/held", Reply::text("held").heldBy(gate));
    server.route("GET", "/quick", Reply::text("q"));
    const size_t base = URLSession::tasksInFlight();

    auto held = session->dataTaskWithURL(url(server.url("/held")));
    auto neverResumed = session->dataTaskWithURL(url(server.url("/held")));
    EXPECT_EQ(URLSession::tasksInFlight(), base) << "a suspended task is not in flight";
    held->resume();
    held->suspend();
    held->resume();
    EXPECT_EQ(URLSession::tasksInFlight(), base + 1) << "counted once, whatever the resumes";
    neverResumed->cancel();
    ASSERT_TRUE(server.waitForRequests(1));

    // A second session; its handler starts a follow-up, so the count never dips to the held one alone
    // before the follow-up is counted.
    auto other = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration());
    Promise<size_t> duringHandler, afterFollowUp;
    other
        ->dataTaskWithURL(url(server.url("/quick")),
                          [&](const Bytes&, auto, std::optional<Error>) {
                              duringHandler.set(URLSession::tasksInFlight());
                              other
                                  ->dataTaskWithURL(url(server.url("/quick")),
                                                    [&](const Bytes&, auto, std::optional<Error>) {
                                                        afterFollowUp.set(URLSession::tasksInFlight());
                                                    })
                                  ->resume();
                          })
        ->resume();
    EXPECT_EQ(duringHandler.wait(), base + 2);
    EXPECT_EQ(afterFollowUp.wait(), base + 2) << "the first quick task has left, the follow-up not yet";
    EXPECT_TRUE(tasksInFlightBecomes(base + 1));

    PlatformConfig::setNetworkUp(false);
    other->dataTaskWithURL(url(server.url("/quick")))->resume();  // fails at once
    EXPECT_TRUE(tasksInFlightBecomes(base + 1));
    PlatformConfig::setNetworkUp(true);
    other->invalidateAndCancel();

    gate->open();
    ASSERT_TRUE(delegate->waitForCount("complete 0", 1));
    EXPECT_TRUE(tasksInFlightBecomes(base));
}

// A delegate that falls behind holds the body back (past 8 MB waiting for it, the transfer pauses);
// once it catches up the body goes on where it stopped: every byte, once, in order.
TEST_P(SessionTest, ASlowDelegateHoldsTheBodyBackThenGetsItWholeAndInOrder) {
    constexpr uint64_t kLength = 24 << 20;
    server.route("GET", "/big", Reply::streamed(kLength));
    struct Slow : RecordingDelegate {
        std::shared_ptr<tesmar_testing::Gate> caughtUp = tesmar_testing::Gate::make();
        uint64_t offset = 0;
        bool inOrder = true;
        void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                            const Bytes& data) override {
            caughtUp->wait(20s);
            std::string expected(data.size(), '\0');
            tesmar_testing::fillPattern(offset, expected.data(), expected.size());
            inOrder = inOrder && std::equal(data.begin(), data.end(), expected.begin(),
                                            [](uint8_t a, char b) { return a == uint8_t(b); });
            offset += data.size();
        }
    };
    auto slow = std::make_shared<Slow>();
    auto slowSession = URLSession::sessionWithConfiguration(configuration(), slow, nullptr);
    auto task = slowSession->dataTaskWithURL(url(server.url("/big")));
    task->resume();
    EXPECT_TRUE(eventually([&] { return task->countOfBytesReceived() > (8 << 20); }));
    slow->caughtUp->open();
    ASSERT_TRUE(slow->waitFor("complete 0"));
    EXPECT_EQ(slow->offset, kLength);
    EXPECT_TRUE(slow->inOrder);
    slowSession->invalidateAndCancel();
}

INSTANTIATE_TEST_SUITE_P(OneAndSeveralEngines, SessionTest, ::testing::Values(6, 64));

struct ReleaseCounter {
    std::mutex m;
    std::condition_variable cv;
    int released = 0;
    void add() {
        std::lock_guard lock(m);
        ++released;
        cv.notify_all();
    }
    bool waitFor(int n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return released >= n; });
    }
};

class WatchedDelegate : public URLSessionDelegate {
public:
    explicit WatchedDelegate(std::shared_ptr<ReleaseCounter> c) : counter_(std::move(c)) {}
    ~WatchedDelegate() override { counter_->add(); }

private:
    std::shared_ptr<ReleaseCounter> counter_;
};

// Commands still queued when the last reference goes (an invalidation, a task listing) must not keep
// the engine, and with it the delegate and the curl handles, alive.
TEST(SessionLifetimeTest, DroppingAnInvalidatedSessionReleasesItsDelegate) {
    DeviceRoot device;
    auto counter = std::make_shared<ReleaseCounter>();
    constexpr int kSessions = 20;
    for (int i = 0; i < kSessions; ++i) {
        auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(),
                                                            std::make_shared<WatchedDelegate>(counter), nullptr);
        session->invalidateAndCancel();
        session->getAllTasksWithCompletionHandler([](auto) {});
    }
    EXPECT_TRUE(counter->waitFor(kSessions)) << counter->released << " of " << kSessions << " released";
}

// An engine's thread knows itself from the first command it runs (commands queued before the start
// run first): the starting thread may not have got back from starting it yet. What only that thread
// may touch (its transfers) a debug build refuses to any other.
TEST(SessionLifetimeTest, AnEngineKnowsItsThreadFromItsFirstCommand) {
    using platform::urlsession_detail::Engine;
    auto group = std::make_shared<platform::urlsession_detail::EngineGroup>(
        URLSessionConfiguration::ephemeralSessionConfiguration(), nullptr, dispatch::OperationQueue());
    for (int i = 0; i < 8; ++i) {
        auto engine = std::make_shared<Engine>(*group, 0, 0);
        Promise<bool> known;
        engine->post([&] { known.set(engine->onEngineThread() && Engine::current() == engine.get()); });
        engine->start();
        EXPECT_EQ(known.wait(), true);
        EXPECT_FALSE(engine->onEngineThread());
#ifndef NDEBUG
        if (i == 0) {
            GTEST_FLAG_SET(death_test_style, "threadsafe");
            EXPECT_DEATH(engine->transferFor(1), "URLSession engine is touched off its thread");
        }
#endif
        engine->stop();
        engine->join();
    }
}

// A session keeps itself alive while its tasks run: one dropped right after resume() still completes
// the task it was given (one session on one engine, one on several).
TEST(SessionLifetimeTest, ASessionDroppedRightAfterResumeStillCompletesItsTask) {
    DeviceRoot device;
    TestHttpServer server;
    server.route("GET", "/x", Reply::text("x"));
    constexpr int kSessions = 40;
    std::mutex m;
    std::condition_variable cv;
    int completed = 0;
    for (int i = 0; i < kSessions; ++i) {
        auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
        configuration.HTTPMaximumConnectionsPerHost = i % 2 ? 64 : 6;
        auto session = URLSession::sessionWithConfiguration(configuration);
        session
            ->dataTaskWithURL(url(server.url("/x")),
                              [&](const Bytes& data, std::shared_ptr<const URLResponse>, std::optional<Error> e) {
                                  EXPECT_FALSE(e) << e->description();
                                  EXPECT_EQ(std::string(data.begin(), data.end()), "x");
                                  std::lock_guard lock(m);
                                  ++completed;
                                  cv.notify_all();
                              })
            ->resume();
    }
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, 20s, [&] { return completed == kSessions; }))
        << completed << " of " << kSessions << " completed";
}

}  // namespace

namespace {
// Engine threads of the sessions in this process ("url-session", "url-session-1", ...).
size_t engineThreads() {
    size_t n = 0;
    for (auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        n += name.rfind("url-session", 0) == 0;
    }
    return n;
}
}  // namespace

// However many engine threads carry a session, its connections to a host stay within its limit; a
// session starts its first engine with its first task, and one allowed many connections starts further
// engines only when the running ones are busy (8 tasks each).
struct ConnectionLimitRow {
    int limit;
    int tasks;
    size_t engines;  // engine threads running while the answers are held
};

class SessionConnectionLimitTest : public ::testing::TestWithParam<ConnectionLimitRow> {};

TEST_P(SessionConnectionLimitTest, NoMoreConnectionsToAHostThanTheConfigurationAllows) {
    const auto row = GetParam();
    DeviceRoot device;
    TestHttpServer::Options options;
    options.threads = size_t(row.tasks + 4);
    TestHttpServer server(options);
    auto gate = tesmar_testing::Gate::make();
    server.route("GET", "/held", Reply::text("held").heldBy(gate));
    auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.HTTPMaximumConnectionsPerHost = row.limit;
    const size_t threadsBefore = engineThreads();
    auto session = URLSession::sessionWithConfiguration(configuration);
    EXPECT_EQ(engineThreads(), threadsBefore) << "a session not yet used runs no thread";
    std::atomic<int> done{0};
    for (int i = 0; i < row.tasks; ++i)
        session
            ->dataTaskWithURL(url(server.url("/held?n=" + std::to_string(i))),
                              [&](const Bytes& data, std::shared_ptr<const URLResponse>, std::optional<Error> e) {
                                  EXPECT_FALSE(e);
                                  EXPECT_EQ(std::string(data.begin(), data.end()), "held");
                                  done++;
                              })
            ->resume();
    const size_t connections = size_t(std::min(row.limit, row.tasks));
    ASSERT_TRUE(server.waitForRequests(connections));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.requestCount(), connections) << "the others wait for a free connection";
    const size_t cores = std::max(1u, std::thread::hardware_concurrency());
    EXPECT_EQ(engineThreads() - threadsBefore, std::min(row.engines, cores));
    gate->open();
    ASSERT_TRUE(server.waitForRequests(size_t(row.tasks)));
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (done < row.tasks && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(done, row.tasks);
    session->finishTasksAndInvalidate();
}

INSTANTIATE_TEST_SUITE_P(Rows, SessionConnectionLimitTest,
                         ::testing::Values(ConnectionLimitRow{2, 6, 1},        // one engine
                                           ConnectionLimitRow{64, 8, 1},       // many allowed, little asked
                                           ConnectionLimitRow{64, 12, 2},      // the first engine is busy
                                           ConnectionLimitRow{40, 60, 1},      // one engine carries all 40
                                           ConnectionLimitRow{64, 70, 2},      // two engines, 32 each
                                           ConnectionLimitRow{128, 140, 4}));  // four engines, 32 each

TEST(BackgroundSessionTest, FinishedEventsFollowTheLastCompletionOfEachBurst) {
    DeviceRoot device;
    TestHttpServer server;
    server.route("GET", "/x", Reply::text("x"));
    struct Delegate : RecordingDelegate {
        void didFinishEventsForBackgroundURLSession(const std::shared_ptr<URLSession>&) override {
            log("background events finished");
        }
    };
    auto delegate = std::make_shared<Delegate>();
    auto session = URLSession::sessionWithConfiguration(
        URLSessionConfiguration::backgroundSessionConfiguration("com.tesmar.test.background"), delegate, nullptr);
    session->dataTaskWithURL(url(server.url("/x")))->resume();
    session->downloadTaskWithURL(url(server.url("/x")))->resume();
    ASSERT_TRUE(delegate->waitFor("background events finished"));
    ASSERT_TRUE(delegate->waitForCount("complete 0", 2));
    auto events = delegate->snapshot();
    EXPECT_EQ(events.back(), "background events finished") << "after both completions";
    session->dataTaskWithURL(url(server.url("/x")))->resume();
    EXPECT_TRUE(delegate->waitForCount("background events finished", 2));
    session->invalidateAndCancel();

    // An ordinary session never says it.
    auto plainDelegate = std::make_shared<Delegate>();
    auto plain = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(),
                                                      plainDelegate, nullptr);
    plain->dataTaskWithURL(url(server.url("/x")))->resume();
    ASSERT_TRUE(plainDelegate->waitFor("complete 0"));
    plain->finishTasksAndInvalidate();
    ASSERT_TRUE(plainDelegate->waitFor("invalid"));
    for (const auto& e : plainDelegate->snapshot()) EXPECT_NE(e, "background events finished");
}

// A small answer is complete while the delegate still decides on it: its connection serves the next
// request meanwhile, and the body reaches the delegate whole once it allows the response, with the
// metrics of its hop; a task cancelled while its whole answer waits ends once, cancelled, and a late
// "allow" then changes nothing. Rows: a session with a URL cache (the engine takes the answer) and
// one without (the delegate queue ends the task).
class SessionDecisionTest : public ::testing::TestWithParam<bool> {};

TEST_P(SessionDecisionTest, ASmallAnswerFreesItsConnectionWhileTheDelegateDecides) {
    DeviceRoot device;
    TestHttpServer server;
    server.route("GET", "/first", Reply::text(std::string(20000, 'a')));
    server.route("GET", "/second", Reply::text("second"));
    server.route("GET", "/third", Reply::text("third"));
    struct Delegate : RecordingDelegate {
        std::map<std::string, std::function<void(URLSessionResponseDisposition)>> held;
        void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                                const std::shared_ptr<const URLResponse>&,
                                std::function<void(URLSessionResponseDisposition)> done) override {
            auto path = task->currentRequest()->url()->path();
            log("response " + path);
            if (path != "/second") {
                std::lock_guard lock(m_);
                held[path] = std::move(done);
                return;
            }
            done(URLSessionResponseDisposition::Allow);
        }
        std::function<void(URLSessionResponseDisposition)> take(const std::string& path) {
            std::lock_guard lock(m_);
            body.clear();
            return std::move(held[path]);
        }
    };
    auto delegate = std::make_shared<Delegate>();
    auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.HTTPMaximumConnectionsPerHost = 1;
    if (!GetParam()) configuration.URLCache = nullptr;
    auto session = URLSession::sessionWithConfiguration(configuration, delegate, nullptr);
    session->dataTaskWithURL(url(server.url("/first")))->resume();
    ASSERT_TRUE(delegate->waitFor("response /first"));
    session->dataTaskWithURL(url(server.url("/second")))->resume();
    ASSERT_TRUE(delegate->waitFor("complete 0")) << "the second request waited for the first decision";
    EXPECT_EQ(delegate->body, "second");
    auto decide = delegate->take("/first");
    ASSERT_TRUE(decide);
    // Allowed from another thread than the delegate queue, as a delegate that decides later does.
    std::thread([&] { decide(URLSessionResponseDisposition::Allow); }).join();
    ASSERT_TRUE(delegate->waitForCount("complete 0", 2));
    {
        std::lock_guard lock(delegate->m_);
        EXPECT_EQ(delegate->body, std::string(20000, 'a'));
        ASSERT_EQ(delegate->metrics.transactionMetrics.size(), 1u);
        EXPECT_EQ(delegate->metrics.transactionMetrics[0].request.url()->path(), "/first");
        EXPECT_TRUE(delegate->metrics.transactionMetrics[0].responseEndDate.has_value());
    }

    auto third = session->dataTaskWithURL(url(server.url("/third")));
    third->resume();
    ASSERT_TRUE(delegate->waitFor("response /third"));
    third->cancel();
    ASSERT_TRUE(delegate->waitFor("complete " + std::to_string(int(URLErrorCode::Cancelled))));
    delegate->take("/third")(URLSessionResponseDisposition::Allow);
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(delegate->waitFor("invalid"));
    auto events = delegate->snapshot();
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e.rfind("complete", 0) == 0; }), 3);
    EXPECT_EQ(events.back(), "invalid");
    std::lock_guard lock(delegate->m_);
    EXPECT_EQ(delegate->body, "") << "a cancelled task's answer never reaches the delegate";
    ASSERT_EQ(delegate->metrics.transactionMetrics.size(), 1u);
    EXPECT_EQ(delegate->metrics.transactionMetrics[0].request.url()->path(), "/third");
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutACache, SessionDecisionTest, ::testing::Bool());

// The resource time-out covers the whole task, redirects included, even when every hop is quick
// enough on its own; a suspended task's clock keeps running.
TEST(SessionResourceTimeoutTest, CountsTheWholeTaskAcrossRedirectsAndSuspension) {
    DeviceRoot device;
    TestHttpServer server;
    server.route("GET", "/a", Reply::redirect("/b").after(250ms));
    server.route("GET", "/b", Reply::redirect("/c").after(250ms));
    server.route("GET", "/c", Reply::text("done").after(250ms));
    auto gate = tesmar_testing::Gate::make();
    server.route("GET", "/held", Reply::text("held").heldBy(gate));
    auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.timeoutIntervalForResource = 0.5;
    auto session = URLSession::sessionWithConfiguration(configuration);
    // Each hop answers in 250 ms; only the whole task's clock can end it.
    auto r = fetch(session, URLRequest(url(server.url("/a"))));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, int64_t(URLErrorCode::TimedOut)) << r.error->description();

    Promise<std::optional<Error>> done;
    auto task = session->dataTaskWithURL(url(server.url("/held")), [&](const Bytes&, std::shared_ptr<const URLResponse>,
                                                                       std::optional<Error> e) { done.set(e); });
    task->resume();
    ASSERT_TRUE(server.waitUntil([](const auto& requests) {
        return std::any_of(requests.begin(), requests.end(), [](const auto& r) { return r.path == "/held"; });
    }));
    task->suspend();
    auto e = done.wait(5s);
    ASSERT_TRUE(e.has_value()) << "a suspended task still times out";
    ASSERT_TRUE(e->has_value());
    EXPECT_EQ((*e)->code, int64_t(URLErrorCode::TimedOut));
    session->invalidateAndCancel();
    gate->open();
}

// Many tasks at once, as a busy app makes them: every task hears its callbacks in order (response,
// its whole body, metrics, completion) and its completion exactly once, cancelled ones and those that
// became downloads included, however the session batches the deliveries and however many engine
// threads carry it; the last hop's metrics come with the completion, and invalidation comes after
// every completion. Rows: a session on one engine, and one allowed enough connections for several.
class SessionBurstTest : public ::testing::TestWithParam<int> {};

TEST_P(SessionBurstTest, EveryTaskHearsItsCallbacksInOrderAndCompletesOnceThenTheSessionInvalidates) {
    DeviceRoot device;
    TestHttpServer::Options options;
    options.threads = size_t(2 * GetParam());  // a kept-alive connection holds a server thread
    TestHttpServer server(options);
    auto gate = tesmar_testing::Gate::make();
    server.route("GET", "/small", Reply::text(std::string(1000, 's')));
    server.route("GET", "/held", Reply::text("late").heldBy(gate));
    server.route("GET", "/file", Reply::text(std::string(3000, 'f')));
    struct Delegate : URLSessionDelegate {
        std::mutex m;
        std::condition_variable cv;
        std::map<uint64_t, std::vector<std::string>> heard;
        std::map<uint64_t, size_t> bytes;
        std::map<uint64_t, URLSessionTaskMetrics> metrics;
        std::map<uint64_t, uint64_t> downloadOf;  // download task -> the data task it was
        int completions = 0;
        std::vector<std::string> timeline;  // completions and invalidation, in the order they came
        void note(const std::shared_ptr<URLSessionTask>& t, std::string what) {
            std::lock_guard lock(m);
            heard[t->taskIdentifier()].push_back(std::move(what));
        }
        void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& t,
                                const std::shared_ptr<const URLResponse>& r,
                                std::function<void(URLSessionResponseDisposition)> done) override {
            note(t, "response");
            const bool file = r->url() && r->url()->path() == "/file";
            done(file ? URLSessionResponseDisposition::BecomeDownload : URLSessionResponseDisposition::Allow);
        }
        void didBecomeDownloadTask(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& t,
                                   const std::shared_ptr<URLSessionDownloadTask>& dl) override {
            note(t, "became download");
            std::lock_guard lock(m);
            downloadOf[dl->taskIdentifier()] = t->taskIdentifier();
        }
        void didFinishDownloadingToURL(const std::shared_ptr<URLSession>&,
                                       const std::shared_ptr<URLSessionDownloadTask>& t, const URL& file) override {
            note(t, "downloaded");
            std::lock_guard lock(m);
            bytes[t->taskIdentifier()] = std::filesystem::file_size(file.path());
        }
        void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& t,
                            const Bytes& data) override {
            std::lock_guard lock(m);
            if (heard[t->taskIdentifier()].back() != "data") heard[t->taskIdentifier()].push_back("data");
            bytes[t->taskIdentifier()] += data.size();
        }
        void didFinishCollectingMetrics(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& t,
                                        const URLSessionTaskMetrics& m) override {
            note(t, "metrics");
            std::lock_guard lock(this->m);
            metrics[t->taskIdentifier()] = m;
        }
        void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& t,
                                  const std::optional<Error>& e) override {
            note(t, e ? "complete " + std::to_string(e->code) : "complete");
            std::lock_guard lock(m);
            ++completions;
            timeline.push_back("complete");
            cv.notify_all();
        }
        void didBecomeInvalidWithError(const std::shared_ptr<URLSession>&, const std::optional<Error>&) override {
            std::lock_guard lock(m);
            timeline.push_back("invalid");
            cv.notify_all();
        }
    };
    auto delegate = std::make_shared<Delegate>();
    auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.HTTPMaximumConnectionsPerHost = GetParam();
    configuration.URLCache = nullptr;
    auto session = URLSession::sessionWithConfiguration(configuration, delegate, nullptr);
    const size_t base = URLSession::tasksInFlight();

    constexpr int kSmall = 300, kHeld = 8, kFiles = 12;
    std::vector<std::shared_ptr<URLSessionDataTask>> small, held, files;
    for (int i = 0; i < kHeld; ++i) held.push_back(session->dataTaskWithURL(url(server.url("/held"))));
    for (int i = 0; i < kSmall; ++i) {
        small.push_back(session->dataTaskWithURL(url(server.url("/small"))));
        if (i % (kSmall / kFiles) == 0) files.push_back(session->dataTaskWithURL(url(server.url("/file"))));
    }
    for (auto& t : held) t->resume();
    for (size_t i = 0; i < small.size(); ++i) {
        small[i]->resume();
        if (i % (kSmall / kFiles) == 0) files[i / (kSmall / kFiles)]->resume();
    }
    for (int i = 0; i < kHeld; i += 2) held[size_t(i)]->cancel();  // the other half is answered late
    {
        std::unique_lock lock(delegate->m);
        ASSERT_TRUE(
            delegate->cv.wait_for(lock, 30s, [&] { return delegate->completions == kSmall + kFiles + kHeld / 2; }));
    }
    session->finishTasksAndInvalidate();  // the held ones still run
    gate->open();
    {
        std::unique_lock lock(delegate->m);
        ASSERT_TRUE(delegate->cv.wait_for(lock, 30s, [&] {
            return delegate->completions == kSmall + kFiles + kHeld && delegate->timeline.back() == "invalid";
        }));
    }
    EXPECT_TRUE(tasksInFlightBecomes(base));

    std::lock_guard lock(delegate->m);
    EXPECT_EQ(std::count(delegate->timeline.begin(), delegate->timeline.end(), "invalid"), 1);
    const std::vector<std::string> whole{"response", "data", "metrics", "complete"};
    for (auto& t : small) {
        EXPECT_EQ(delegate->heard[t->taskIdentifier()], whole) << t->taskIdentifier();
        EXPECT_EQ(delegate->bytes[t->taskIdentifier()], 1000u);
        EXPECT_EQ(t->state(), URLSessionTaskState::Completed);
        const auto& m = delegate->metrics[t->taskIdentifier()];
        ASSERT_EQ(m.transactionMetrics.size(), 1u);
        auto response = std::dynamic_pointer_cast<const HTTPURLResponse>(m.transactionMetrics[0].response);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->statusCode(), 200);
        ASSERT_TRUE(m.transactionMetrics[0].responseEndDate && m.transactionMetrics[0].fetchStartDate);
        EXPECT_LE(*m.transactionMetrics[0].fetchStartDate, *m.transactionMetrics[0].responseEndDate);
        EXPECT_GE(m.taskInterval.duration, 0);
    }
    for (int i = 0; i < kHeld; ++i) {
        const auto& heard = delegate->heard[held[size_t(i)]->taskIdentifier()];
        if (i % 2 == 0) {
            ASSERT_FALSE(heard.empty());
            EXPECT_EQ(heard.back(), "complete " + std::to_string(int(URLErrorCode::Cancelled))) << i;
            EXPECT_EQ(std::count_if(heard.begin(), heard.end(), [](auto& e) { return e.rfind("complete", 0) == 0; }),
                      1);
        } else {
            EXPECT_EQ(heard, whole) << i;
        }
    }
    // A data task that became a download hears nothing after that; the download task everything else.
    ASSERT_EQ(delegate->downloadOf.size(), size_t(kFiles));
    for (auto& [download, data] : delegate->downloadOf) {
        EXPECT_EQ(delegate->heard[data], (std::vector<std::string>{"response", "became download"}));
        EXPECT_EQ(delegate->heard[download], (std::vector<std::string>{"downloaded", "metrics", "complete"}));
        EXPECT_EQ(delegate->bytes[download], 3000u);
    }
}

INSTANTIATE_TEST_SUITE_P(OneAndSeveralEngines, SessionBurstTest, ::testing::Values(16, 64));
