#include <gtest/gtest.h>

#include "platform/dispatch/OnceHandler.h"
#include "platform/uikit/tests/UIKitTestSupport.h"

namespace uikit_test {
namespace {

using Log = std::vector<std::string>;
using SourceApp = std::optional<std::string>;

class AppURLTest : public UIKitTest {
protected:
    // A delegate class answering the URL callbacks named in `with`, each recording its arguments.
    std::shared_ptr<Application> launchWith(const std::set<std::string>& with, Log* log) {
        auto& rt = objc::Runtime::shared();
        std::string name = uniqueName("URLDelegate");
        objc::ClassBuilder b(rt, name, responderClass());
        if (with.count("options"))
            b.method(sel("application:openURL:options:"),
                     makeImp([log](Object*, Selector, ObjectHandle, URL url, Value options) {
                         log->push_back("options " + url.absoluteString());
                         return true;
                     }));
        if (with.count("source"))
            b.method(sel("application:openURL:sourceApplication:annotation:"),
                     makeImp([log](Object*, Selector, ObjectHandle, URL url, SourceApp source, Value annotation) {
                         log->push_back("source " + url.absoluteString() + " " + source.value_or("(nil)") + " " +
                                        annotation.description());
                         return false;
                     }));
        if (with.count("session"))
            b.method(sel("application:handleEventsForBackgroundURLSession:completionHandler:"),
                     makeImp([log, with](Object*, Selector, ObjectHandle, std::string id, std::function<void()> done) {
                         log->push_back("session " + id);
                         if (with.count("twice")) done();
                         if (!with.count("never")) done();
                     }));
        b.registerClass();
        return launchApplication(nullptr, name.c_str()).value();
    }
};

TEST_F(AppURLTest, OpenURLPrefersOptionsAndFallsBackToSourceApplication) {
    const Value options = Value::dictionary(
        {{kOpenURLOptionsSourceApplicationKey, "com.example.mail"}, {kOpenURLOptionsAnnotationKey, "note"}});
    struct Case {
        std::set<std::string> with;
        Value options;
        bool answer;
        Log heard;
    };
    const Case cases[] = {
        {{"options", "source"}, options, true, {"options tesmar://a"}},
        {{"source"}, options, false, {"source tesmar://a com.example.mail note"}},
        {{"source"}, Value::dictionary(), false, {"source tesmar://a (nil) <null>"}},
        {{}, options, false, {}},
    };
    for (const auto& c : cases) {
        Log log;
        auto app = launchWith(c.with, &log);
        EXPECT_EQ(app->openURLInApp(URL::string("tesmar://a").value(), c.options), c.answer);
        EXPECT_EQ(log, c.heard);
        Application::resetShared();
    }
}

TEST_F(AppURLTest, BackgroundSessionCompletionIsCheckedForExactlyOneCall) {
    struct Case {
        std::set<std::string> with;
        bool delivered;
        int calls;
        size_t newFaults;
    };
    const Case cases[] = {
        {{"session"}, true, 1, 0},
        {{"session", "twice"}, true, 1, 1},  // the second call is not forwarded, and reported
        {{"session", "never"}, true, 0, 1},  // a handler dropped uncalled is reported
        {{}, false, 0, 0},
    };
    for (const auto& c : cases) {
        Log log;
        auto app = launchWith(c.with, &log);
        size_t faults = dispatch::onceHandlerFaultCount();
        int calls = 0;
        EXPECT_EQ(app->handleEventsForBackgroundURLSession("com.example.s1", [&calls] { ++calls; }), c.delivered);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(dispatch::onceHandlerFaultCount() - faults, c.newFaults);
        EXPECT_EQ(log.size(), c.delivered ? 1u : 0u);
        Application::resetShared();
    }
}

}  // namespace
}  // namespace uikit_test
