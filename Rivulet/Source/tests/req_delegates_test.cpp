// The session and task delegates seen directly: which callbacks the session delegate declares and
// whose answer counts, and how a task delegate completes, answers challenges and reports progress.
// Last, through the manager: the data task delegate decides what the session's URL cache keeps.
#include "Rivulet/Source/tests/req_support.h"
#include "platform/urlsession/URLCache.h"
#include "platform/urlsession/URLError.h"

using namespace req_test;
using platform::URLSessionAuthChallengeDisposition;
using platform::URLSessionResponseDisposition;
using Method = platform::URLSessionDelegateMethod;

namespace {

platform::URLAuthenticationChallenge basicChallenge(int previousFailureCount) {
    platform::URLAuthenticationChallenge challenge{
        platform::URLProtectionSpace("h", 80, "http", "realm", platform::kURLAuthenticationMethodHTTPBasic),
        std::nullopt, 0, nullptr};
    challenge.previousFailureCount = previousFailureCount;
    return challenge;
}

ChallengeAnswer answering(URLSessionAuthChallengeDisposition disposition) { return {disposition, std::nullopt}; }

// Its challenge override comes from its accessor alone: nothing is stored in the delegate.
class OwnChallengeDelegate : public SessionDelegate {
public:
    SessionDidReceiveChallenge sessionDidReceiveChallenge() const override {
        return [](const SessionPtr&, const platform::URLAuthenticationChallenge&) {
            return answering(URLSessionAuthChallengeDisposition::RejectProtectionSpace);
        };
    }
};

// One digit per probed callback (1: declared), then what the challenge, response and redirection
// callbacks answer.
std::string declaredAndAnswers(SessionDelegate& d) {
    std::string out;
    for (Method m :
         {Method::DidReceiveChallenge, Method::TaskWillPerformHTTPRedirection, Method::DataTaskDidReceiveResponse,
          Method::DidBecomeInvalidWithError, Method::DidFinishEventsForBackgroundURLSession,
          Method::StreamTaskReadClosed, Method::TaskDidReceiveChallenge, Method::DataTaskDidReceiveData,
          Method::DownloadTaskDidWriteData, Method::TaskDidCompleteWithError})
        out += d.implements(m) ? "1" : "0";
    d.didReceiveChallenge(nullptr, basicChallenge(0), [&](URLSessionAuthChallengeDisposition a, auto) {
        out += " | challenge " + std::to_string(int(a));
    });
    // No request owns the task: the session-level callback answers, whoever supplies it.
    d.didReceiveTaskChallenge(nullptr, nullptr, basicChallenge(0), [&](URLSessionAuthChallengeDisposition a, auto) {
        out += ", task challenge " + std::to_string(int(a));
    });
    d.didReceiveResponse(nullptr, nullptr, nullptr,
                         [&](URLSessionResponseDisposition a) { out += ", response " + std::to_string(int(a)); });
    const platform::URLRequest next(*platform::URL::string("http://h/next"));
    d.willPerformHTTPRedirection(nullptr, nullptr, nullptr, next, [&](std::optional<platform::URLRequest> r) {
        out += !r ? ", redirect refused" : r->url() == next.url() ? ", redirect kept" : ", redirect other";
    });
    return out;
}

}  // namespace

TEST(SessionDelegateTable, WhichCallbacksItDeclaresAndWhoseAnswerCounts) {
    auto setPlain = [](SessionDelegate& d) {
        d.setSessionDidReceiveChallenge([](const SessionPtr&, const platform::URLAuthenticationChallenge&) {
            return answering(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge);
        });
        d.setTaskWillPerformHTTPRedirection(
            [](const SessionPtr&, const TaskPtr&, const HTTPURLResponsePtr&, const platform::URLRequest&) {
                return std::optional<platform::URLRequest>();
            });
        d.setDataTaskDidReceiveResponse(
            [](const SessionPtr&, const DataTaskPtr&, const std::shared_ptr<const platform::URLResponse>&) {
                return URLSessionResponseDisposition::Cancel;
            });
    };
    struct Case {
        std::string name;
        std::function<std::shared_ptr<SessionDelegate>()> make;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"no overrides", [] { return std::make_shared<SessionDelegate>(); },
         "0000001111 | challenge 1, task challenge 1, response 1, redirect kept"},
        {"plain overrides",
         [&] {
             auto d = std::make_shared<SessionDelegate>();
             setPlain(*d);
             d->setSessionDidBecomeInvalidWithError([](const SessionPtr&, const std::optional<platform::Error>&) {});
             d->setStreamTaskReadClosed([](const SessionPtr&, const StreamTaskPtr&) {});
             return d;
         },
         "1111011111 | challenge 2, task challenge 2, response 0, redirect refused"},
        {"the completion forms win over the plain ones",
         [&] {
             auto d = std::make_shared<SessionDelegate>();
             setPlain(*d);
             d->setSessionDidReceiveChallengeWithCompletion([](const SessionPtr&,
                                                               const platform::URLAuthenticationChallenge&,
                                                               platform::ChallengeCompletion done) {
                 done(URLSessionAuthChallengeDisposition::RejectProtectionSpace, std::nullopt);
             });
             d->setTaskWillPerformHTTPRedirectionWithCompletion(
                 [](const SessionPtr&, const TaskPtr&, const HTTPURLResponsePtr&, const platform::URLRequest&,
                    std::function<void(std::optional<platform::URLRequest>)> done) {
                     done(platform::URLRequest(*platform::URL::string("http://h/other")));
                 });
             d->setDataTaskDidReceiveResponseWithCompletion(
                 [](const SessionPtr&, const DataTaskPtr&, const std::shared_ptr<const platform::URLResponse>&,
                    std::function<void(URLSessionResponseDisposition)> done) {
                     done(URLSessionResponseDisposition::BecomeDownload);
                 });
             return d;
         },
         "1110001111 | challenge 3, task challenge 3, response 2, redirect other"},
        {"a stream override set back to nothing",
         [] {
             auto d = std::make_shared<SessionDelegate>();
             d->setStreamTaskReadClosed([](const SessionPtr&, const StreamTaskPtr&) {});
             d->setStreamTaskReadClosed(nullptr);
             return d;
         },
         "0000001111 | challenge 1, task challenge 1, response 1, redirect kept"},
        {"a subclass's accessor", [] { return std::make_shared<OwnChallengeDelegate>(); },
         "1000001111 | challenge 3, task challenge 3, response 1, redirect kept"},
    };
    for (const auto& c : cases) EXPECT_EQ(declaredAndAnswers(*c.make()), c.expected) << c.name;
}

TEST(TaskDelegateTable, CompletionChallengesResumeDataAndProgress) {
    const AnyError earlier(platform::Error::withDescription("test", 1, "earlier"));
    const AnyError later(platform::Error::withDescription("test", 2, "later"));
    auto outcome = [](const TaskDelegate& d) {
        auto e = d.error();
        return (e ? e->localizedDescription() : "no error") + (d.queue.isSuspended() ? ", waiting" : ", released");
    };
    auto challenged = [](TaskDelegate& d, int previousFailureCount) {
        std::string out;
        d.didReceiveChallenge(nullptr, nullptr, basicChallenge(previousFailureCount),
                              [&](URLSessionAuthChallengeDisposition a, std::optional<platform::URLCredential> c) {
                                  out = std::to_string(int(a)) + (c ? " " + c->user().value_or("?") : "");
                              });
        return out;
    };
    struct Case {
        std::string name;
        std::function<std::string()> run;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"the first error wins",
         [&] {
             auto d = std::make_shared<DataTaskDelegate>(nullptr);
             d->setError(earlier);
             d->didCompleteWithError(nullptr, nullptr, later);
             return outcome(*d);
         },
         "earlier, released"},
        {"a completion override keeps the handlers waiting",
         [&] {
             auto d = std::make_shared<DataTaskDelegate>(nullptr);
             bool called = false;
             d->taskDidCompleteWithError.set(
                 [&](const SessionPtr&, const TaskPtr&, const std::optional<AnyError>&) { called = true; });
             d->didCompleteWithError(nullptr, nullptr, later);
             return std::string(called ? "override, " : "") + outcome(*d);
         },
         "override, no error, waiting"},
        {"a credential answers the first challenge, a repeated one is rejected",
         [&] {
             auto d = std::make_shared<DataTaskDelegate>(nullptr);
             d->setCredential(platform::URLCredential("me", "pw", platform::URLCredentialPersistence::ForSession));
             return challenged(*d, 0) + " then " + challenged(*d, 1);
         },
         "0 me then 3"},
        {"a cancelled download keeps the resume data its error carries",
         [&] {
             auto d = std::make_shared<DownloadTaskDelegate>(nullptr);
             platform::Error cancelled(platform::kURLErrorDomain, int64_t(platform::URLErrorCode::Cancelled));
             cancelled.userInfo.set(platform::kURLSessionDownloadTaskResumeData, platform::Bytes{'r', 'd'});
             d->didCompleteWithError(nullptr, nullptr, AnyError(cancelled));
             return text(d->data()) + " " + std::to_string(d->error()->bridged().code);
         },
         "rd -999"},
        {"a progress report queued before a retry's reset reads the new progress",
         [&] {
             auto d = std::make_shared<DataTaskDelegate>(nullptr);
             const Progress* reported = nullptr;
             d->progressHandler.set(ProgressHandlerEntry{[&](const Progress& p) { reported = &p; },
                                                         platform::dispatch::DispatchQueue::main()});
             d->didReceiveData(nullptr, nullptr, platform::Bytes{'x'});
             auto before = d->progress();
             d->setTask(nullptr);
             MainLoop::shared().runUntilIdle();
             return std::string(reported == d->progress().get() && reported != before.get() ? "new" : "old") + " " +
                    std::to_string(reported ? reported->completedUnitCount() : -1);
         },
         "new 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.run(), c.expected) << c.name;
}

TEST_F(RequestTest, DataTaskDelegateOverrideDecidesWhatTheCacheKeeps) {
    server.route("GET", "/cached", Reply::text("original").header("Cache-Control", "max-age=600"));
    manager->setStartRequestsImmediately(false);
    auto first = manager->request(server.url("/cached"));
    Collected<std::string> proposed;
    auto delegate = std::dynamic_pointer_cast<DataTaskDelegate>(first->delegate());
    ASSERT_TRUE(delegate);
    delegate->dataTaskWillCacheResponse.set(
        [&](const SessionPtr&, const DataTaskPtr&, const platform::CachedURLResponse& c) {
            proposed.add(text(c.data));
            auto kept = c;
            kept.data = platform::Bytes{'k', 'e', 'p', 't'};
            return std::optional(kept);
        });
    std::optional<std::string> a, b;
    first->responseString([&](DataResponse<std::string> r) { a = r.value() ? *r.value() : "?"; });
    first->resume();
    ASSERT_TRUE(waitFor([&] { return a.has_value(); }));
    EXPECT_EQ(*a, "original");
    EXPECT_EQ(proposed.items(), std::vector<std::string>{"original"});

    // Fresh for ten minutes: the second request is answered by what the override kept.
    auto second = manager->request(server.url("/cached"));
    second->responseString([&](DataResponse<std::string> r) { b = r.value() ? *r.value() : "?"; });
    second->resume();
    ASSERT_TRUE(waitFor([&] { return b.has_value(); }));
    EXPECT_EQ(*b, "kept");
    EXPECT_EQ(server.requestsTo("/cached").size(), 1u);
    EXPECT_EQ(proposed.size(), 1u);  // an answer from the cache is not proposed again
    EXPECT_FALSE(platform::URLCache::sharedURLCache()->cachedResponseForRequest(
        platform::URLRequest(*platform::URL::string(server.url("/cached")))));
}
