#include <gtest/gtest.h>

#include "zidedova_core/DOREdozadedo.h"
#include "zidedova_core/internal/ZDVConnectorUtils.h"
#include "zidedova_core/tests/CoreFixture.h"

namespace zidedova {
namespace {

using platform::Value;

// This test program links no measurement engine: nothing is there to take the calls.
class FacadeWithoutEngineTest : public testing::CoreTest {};

TEST_F(FacadeWithoutEngineTest, CallsNotForwardedStillAnswerTheirHandlers) {
    ASSERT_EQ(platform::objc::lookUpClass(kMSRAnalyticsClassName), nullptr);
    int completions = 0;
    DOREdozadedo::handleEventsForBackgroundURLSession("com.example.session", [&] { ++completions; });
    EXPECT_EQ(completions, 1);

    std::vector<Value> attributes;
    ZDVAMeasurement::userAttributeWithName("favorite", [&](const Value& v) { attributes.push_back(v); });
    ASSERT_EQ(attributes.size(), 1u);
    EXPECT_TRUE(attributes[0].isNull());

    auto activity = std::make_shared<platform::uikit::UserActivity>();
    DOREdozadedo::handleUserActivity(activity);  // no page URL, no engine: nothing happens
    DOREdozadedo::handleUserActivity(nullptr);
}

TEST(ConnectorPatternsTest, PatternAccessorHoldsTheRegularExpressions) {
    EXPECT_EQ(ZDVConnectorUtils::blacklistedUserPropertyPatterns(),
              (std::set<std::string>{"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"}));
}

}  // namespace
}  // namespace zidedova
