// The session's URL cache seen through the manager: the data task delegate decides what is kept.
#include "Rivulet/Source/tests/req_support.h"
#include "platform/urlsession/URLCache.h"

using namespace req_test;

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
