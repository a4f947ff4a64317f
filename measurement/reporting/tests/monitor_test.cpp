#include <gtest/gtest.h>

#include "measurement/storage/MSRMonitor.h"
#include "measurement/storage/MSRNameUtil.h"
#include "zidedova_core/tests/CoreFixture.h"

namespace measurement {
namespace {

using platform::Value;

class MonitorTest : public zidedova::testing::CoreTest {};

TEST_F(MonitorTest, LevelsCodesAndDebugSwitch) {
    struct Case {
        int64_t level;
        int systemLevel;
        bool shownByDefault;
    } cases[] = {{0, 3, true}, {2, 3, true}, {3, 4, true}, {5, 4, true}, {6, 5, true}, {7, 7, false}};
    auto monitor = MSRMonitor::shared();
    for (const auto& c : cases) {
        logs.clear();
        monitor->logWithLevel(c.level, 1234, "message", Value("ctx"));
        auto lines = logs.lines();
        ASSERT_EQ(lines.size(), c.shownByDefault ? 1u : 0u) << c.level;
        if (c.shownByDefault) {
            EXPECT_EQ(lines[0].text, " - [Zidedova/Analytics][I-ACS001234] message, ctx");
            EXPECT_EQ(lines[0].level, c.systemLevel);
        }
    }
    platform::ProcessInfo::processInfo().setArguments(std::vector<std::string>{"Tesmar", "-MSRAnalyticsDebugEnabled"});
    zidedova::ZUTLoggerSetLevel(7);  // the client filter lets debug lines out
    logs.clear();
    monitor->logWithLevel(7, 1, "debug line", Value());
    EXPECT_TRUE(logs.contains("[I-ACS000001] debug line"));
}

TEST_F(MonitorTest, DisplayNames) {
    EXPECT_EQ(MSRPublicEventNameForInternalName(Value("_vs")), "_vs");  // not in debug mode
    EXPECT_EQ(MSRPublicEventNameForInternalName(Value("")), "");
    EXPECT_EQ(MSRPublicEventNameForInternalName(Value("custom")), "custom");
    EXPECT_EQ(MSRPublicEventNameForInternalName(Value(5)), Value(5).description());
    EXPECT_EQ(MSRPublicUserPropertyNameForInternalName(Value("_exp_12")), "experiment_id (_exp_12)");
    EXPECT_EQ(MSRValidatePublicEventName("level_up"), MSRNameError::None);
    EXPECT_EQ(MSRValidatePublicEventName("screen_view"), MSRNameError::Reserved);
    EXPECT_EQ(MSRValidatePublicEventName("_private"), MSRNameError::Invalid);
    EXPECT_EQ(MSRValidatePublicEventName(std::string(41, 'a')), MSRNameError::Invalid);
}

}  // namespace
}  // namespace measurement
