// Adapters and retriers: adapter failures, retries with delays, retries after task failures, and a
// manager that goes away while a retry is pending.
#include "Rivulet/Source/tests/req_support.h"
#include "platform/dispatch/Clock.h"

using namespace req_test;

namespace {

class TestError final : public ErrorType {
public:
    explicit TestError(std::string what) : what_(std::move(what)) {}
    std::string localizedDescription() const override { return what_; }
    std::string description() const override { return "TestError(" + what_ + ")"; }
    platform::Error bridged() const override { return platform::Error::withDescription("test", 1, what_); }

private:
    std::string what_;
};

// Fails the first `failures` adaptations, then adds a header.
class CountingAdapter : public RequestAdapter {
public:
    explicit CountingAdapter(int failures) : failures_(failures) {}
    Result<platform::URLRequest> adapt(platform::URLRequest r) override {
        int n = ++calls;
        if (n <= failures_) return AnyError(TestError("adapt " + std::to_string(n)));
        r.setValue("yes", "X-Adapted");
        return r;
    }
    std::atomic<int> calls{0};

private:
    int failures_;
};

// Answers from a script; may keep the completion for the test to call later.
class ScriptedRetrier : public RequestRetrier {
public:
    ScriptedRetrier(bool retry, double delay, bool hold = false) : retry_(retry), delay_(delay), hold_(hold) {}
    void should(const std::shared_ptr<SessionManager>&, const std::shared_ptr<Request>&, const AnyError& error,
                Completion completion) override {
        std::lock_guard lock(m_);
        errors.push_back(error.localizedDescription());
        if (hold_) {
            held = std::move(completion);
            return;
        }
        bool again = retry_ && errors.size() == 1;  // retry once
        completion(again, delay_);
    }
    size_t asked() const {
        std::lock_guard lock(m_);
        return errors.size();
    }
    Completion takeHeld() {
        std::lock_guard lock(m_);
        return std::move(held);
    }
    mutable std::mutex m_;
    std::vector<std::string> errors;
    Completion held;

private:
    bool retry_;
    double delay_;
    bool hold_;
};

// Its adapter, retrier and start setting come from its own accessors; the stored ones stay empty.
class OwnSettingsManager : public SessionManager {
public:
    static std::shared_ptr<OwnSettingsManager> make() {
        auto delegate = std::make_shared<SessionDelegate>();
        auto session = platform::URLSession::sessionWithConfiguration(
            platform::URLSessionConfiguration::ephemeralSessionConfiguration(), delegate, nullptr);
        std::shared_ptr<OwnSettingsManager> manager(new OwnSettingsManager(std::move(session), std::move(delegate)));
        manager->attach(nullptr);
        return manager;
    }
    std::shared_ptr<RequestAdapter> adapter() const override { return ownAdapter; }
    std::shared_ptr<RequestRetrier> retrier() const override { return ownRetrier; }
    bool startRequestsImmediately() const override { return false; }

    const std::shared_ptr<CountingAdapter> ownAdapter = std::make_shared<CountingAdapter>(1);
    const std::shared_ptr<ScriptedRetrier> ownRetrier = std::make_shared<ScriptedRetrier>(true, 0.0);

private:
    using SessionManager::SessionManager;
};

}  // namespace

TEST_F(RequestTest, ASubclassesSettingsAreTheOnesEveryRoadReads) {
    server.route("GET", "/", Reply::text("fine"));
    auto own = OwnSettingsManager::make();
    auto unstarted = own->request(server.url("/"));  // adapter() fails once: no task, and not started
    // The retrier was asked through retrier(); the retry made the task through adapter() and ran it.
    ASSERT_TRUE(waitFor([&] { return server.requestCount() == 1; }));
    EXPECT_EQ(own->ownRetrier->errors, std::vector<std::string>{"adapt 1"});
    EXPECT_EQ(unstarted->retryCount(), 1u);
    EXPECT_EQ(server.requests()[0].header("X-Adapted"), "yes");

    auto second = own->request(server.url("/"));
    ASSERT_TRUE(second->task());
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(second->task()->state(), platform::URLSessionTaskState::Suspended);
    EXPECT_EQ(own->ownAdapter->calls, 3);
}

TEST_F(RequestTest, AdapterFailureReachesHandlersUnwrapped) {
    manager->setAdapter(std::make_shared<CountingAdapter>(1));
    std::optional<std::string> got;
    auto r = manager->request(server.url("/"));
    EXPECT_FALSE(r->task());
    ASSERT_TRUE(r->request());  // the unadapted request is kept
    r->responseData([&](DataResponse<platform::Bytes> d) { got = d.error()->description(); });
    ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
    EXPECT_EQ(*got, "TestError(adapt 1)");
}

TEST_F(RequestTest, AdapterFailureRetriedAfterTheRetriersDelay) {
    server.route("GET", "/", Reply::text("fine"));
    struct Case {
        std::string name;
        int failures;
        bool retry;
        std::string expected;
        uint64_t retries;
    };
    std::vector<Case> cases = {
        {"declined", 1, false, "adapt 1", 0},
        {"retried, then adapts", 1, true, "fine", 1},
        {"retried, adapter fails again", 2, true, "adapt 2", 0},
    };
    for (auto& c : cases) {
        auto clock = std::make_shared<platform::dispatch::ManualClock>();
        platform::dispatch::ScopedClock scoped(clock);
        auto adapter = std::make_shared<CountingAdapter>(c.failures);
        auto retrier = std::make_shared<ScriptedRetrier>(c.retry, 2.0);
        manager->setAdapter(adapter);
        manager->setRetrier(retrier);
        std::optional<std::string> got;
        auto r = manager->request(server.url("/"));
        r->responseString(
            [&](DataResponse<std::string> s) { got = s.value() ? *s.value() : s.error()->localizedDescription(); });
        ASSERT_TRUE(waitFor([&] { return retrier->asked() == 1; })) << c.name;
        if (c.retry) {
            MainLoop::shared().runUntilIdle();
            EXPECT_FALSE(got) << c.name << ": waits for the delay";
            EXPECT_EQ(adapter->calls, 1) << c.name;
            clock->advance(2.0);
        }
        ASSERT_TRUE(waitFor([&] { return got.has_value(); })) << c.name;
        EXPECT_EQ(*got, c.expected) << c.name;
        EXPECT_EQ(r->retryCount(), c.retries) << c.name;
        EXPECT_EQ(retrier->asked(), 1u) << c.name << ": only adapter failures at creation ask";
    }
    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("X-Adapted"), "yes");
    EXPECT_TRUE(
        waitFor([&] { return manager->delegate->requestCount() == 0; }));  // forgotten right after the handlers go
}

TEST_F(RequestTest, FailedTaskIsRetriedUnderItsNewTask) {
    server.route("GET", "/flaky", std::vector<Reply>{Reply::withStatus(503), Reply::text("second")});
    // A validation turns the 503 into an error, so the retrier is asked.
    auto retrier = std::make_shared<ScriptedRetrier>(true, 0.0);
    manager->setRetrier(retrier);
    manager->setStartRequestsImmediately(false);
    auto r = manager->request(server.url("/flaky"));
    std::weak_ptr<Request> weak = r;
    r->addValidation([weak] {
        auto self = weak.lock();
        if (self && self->response() && self->response()->statusCode() >= 500)
            self->delegate()->setError(AnyError(RVError::responseValidationFailed(
                RVError::ResponseValidationFailureReason::unacceptableStatusCode(self->response()->statusCode()))));
    });
    Collected<std::string> got;
    r->responseString(
        [&](DataResponse<std::string> s) { got.add(s.value() ? *s.value() : s.error()->localizedDescription()); });
    r->resume();
    ASSERT_TRUE(waitFor([&] { return got.size() == 1; }));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(got.items(), std::vector<std::string>{"second"});
    EXPECT_EQ(r->retryCount(), 1u);
    EXPECT_EQ(retrier->errors, std::vector<std::string>{"Response status code was unacceptable: 503."});
    EXPECT_EQ(server.requestCount(), 2u);
    EXPECT_TRUE(
        waitFor([&] { return manager->delegate->requestCount() == 0; }));  // forgotten right after the handlers go
}

TEST_F(RequestTest, ManagerGoneWhileTheRetrierDecidesStillCompletesOnce) {
    auto retrier = std::make_shared<ScriptedRetrier>(true, 0.0, /*hold=*/true);
    manager->setAdapter(std::make_shared<CountingAdapter>(5));
    manager->setRetrier(retrier);
    Collected<std::string> got;
    auto r = manager->request(server.url("/"));
    r->responseData([&](DataResponse<platform::Bytes> d) { got.add(d.error()->localizedDescription()); });
    ASSERT_TRUE(waitFor([&] { return retrier->asked() == 1; }));
    auto completion = retrier->takeHeld();
    manager.reset();
    completion(true, 0.0);
    completion(true, 0.0);  // a second answer is ignored
    ASSERT_TRUE(waitFor([&] { return got.size() == 1; }));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(got.items(), std::vector<std::string>{"adapt 1"});
    EXPECT_EQ(server.requestCount(), 0u);
}
