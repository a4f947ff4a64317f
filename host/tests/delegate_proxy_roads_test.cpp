// The app-delegate proxy end to end: tesmar-sim runs the app, the system hands its delegate URLs,
// user activities and background-session relaunches, and the measurement engine hears them through
// the proxy while the app's own delegate still answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Strings.h"
#include "host/tests/RoadFixture.h"

namespace {

using platform::Value;
using namespace host_test;

class DelegateProxyRoads : public RoadFixture {
protected:
    DelegateProxyRoads() : RoadFixture("proxy-roads") {
        settle_ = {"--settle-ms", "150"};
        onDevice_ = false;
    }

    SimRun run(const std::string& script, Value extraInfo = Value::dictionary()) {
        return runRoad(script, writeBundle(appInfo(extraInfo), siteConfig(true, false)),
                       {"--launch-arg", "-ZDVDebugEnabled", "--launch-arg", "-DOREdozadedoDebugEnabled"});
    }

    static long count(const std::vector<Value>& seen, const char* event, const std::string& textFragment = "") {
        long n = 0;
        for (const auto& e : seen)
            if (e["event"] == Value(event) &&
                (textFragment.empty() || e["text"].stringOr("").find(textFragment) != std::string::npos))
                ++n;
        return n;
    }
};

TEST_F(DelegateProxyRoads, URLsAndActivitiesReachTheEngineWhileTheAppStillAnswers) {
    const std::string link = std::string(Tesmar::Strings::Endpoint::baseUrl) + "/news";
    SimRun r = run("open-url tesmar://campaign?utm_source=mail com.example.mail\n"
                   "user-activity NSUserActivityTypeBrowsingWeb " +
                   link + "\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    const Value* opened = firstEvent(seen, "app.open-url");
    ASSERT_TRUE(opened) << allOutput(r);
    EXPECT_EQ((*opened)["source"], Value("com.example.mail"));
    EXPECT_EQ((*opened)["handled"], Value(false));  // the app takes no custom URLs; the engine only listens
    EXPECT_EQ(count(seen, "syslog", "Handling open URL, tesmar://campaign?utm_source=mail"), 1) << allOutput(r);

    const Value* activity = firstEvent(seen, "app.user-activity");
    ASSERT_TRUE(activity);
    EXPECT_EQ((*activity)["handled"], Value(true));  // the app's own universal-link handling
    EXPECT_EQ(count(seen, "syslog", "Handling user activity, " + link), 1) << allOutput(r);
    EXPECT_EQ(count(seen, "screen.root"), 2) << allOutput(r);  // the launch's, then the link's
    EXPECT_EQ(count(seen, "syslog", "I-SWZ001008"), 1);        // the proxy was made
    EXPECT_EQ(count(seen, "fault"), 0) << allOutput(r);
}

TEST_F(DelegateProxyRoads, BackgroundSessionEventsRunTheSystemsCompletionExactlyOnce) {
    SimRun r = run("background-session-events com.example.unknown-session\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    EXPECT_EQ(count(seen, "background-session.events"), 1) << allOutput(r);
    const Value* done = firstEvent(seen, "background-session.events");
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["completed"], Value(true));
    EXPECT_EQ(count(seen, "fault"), 0) << allOutput(r);
}

TEST_F(DelegateProxyRoads, WithTheProxyOffTheEngineHearsNothing) {
    SimRun r = run("open-url tesmar://campaign\nbackground-session-events s1\nquit\n",
                   Value::dictionary({{"VodezuUtilitiesAppDelegateProxyEnabled", false}}));
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    EXPECT_EQ(count(seen, "syslog", "I-SWZ001011"), 1) << allOutput(r);
    EXPECT_EQ(count(seen, "syslog", "Handling open URL"), 0);
    const Value* opened = firstEvent(seen, "app.open-url");
    ASSERT_TRUE(opened);
    EXPECT_EQ((*opened)["handled"], Value(false));
    const Value* session = firstEvent(seen, "background-session.events");
    ASSERT_TRUE(session);
    EXPECT_EQ((*session)["delivered"], Value(false));  // the app's delegate takes no such events
}

}  // namespace
