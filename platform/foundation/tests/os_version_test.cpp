// The system version: its text form and the "at least" test the SDKs branch on.
#include <gtest/gtest.h>

#include "platform/foundation/OperatingSystemVersion.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ProcessInfo.h"

namespace platform {
namespace {

using V = OperatingSystemVersion;

TEST(OperatingSystemVersion, ReadsOnlyOneToThreeNumbers) {
    struct Case {
        const char* text;
        std::optional<V> parsed;
        const char* written;  // string() of the parsed value
    } cases[] = {
        {"10", V{10, 0, 0}, "10.0"},  {"10.3", V{10, 3, 0}, "10.3"}, {"12.1.4", V{12, 1, 4}, "12.1.4"},
        {"7.0.0", V{7, 0, 0}, "7.0"}, {"", std::nullopt, ""},        {"nine", std::nullopt, ""},
        {"10.", std::nullopt, ""},    {".3", std::nullopt, ""},      {"1.2.3.4", std::nullopt, ""},
        {"10.-1", std::nullopt, ""},  {"10.3 ", std::nullopt, ""},   {"99999999999", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        auto parsed = V::parse(c.text);
        EXPECT_EQ(parsed, c.parsed) << '"' << c.text << '"';
        if (parsed) {
            EXPECT_EQ(parsed->string(), c.written) << c.text;
        }
    }
}

TEST(OperatingSystemVersion, AtLeastComparesPartByPart) {
    struct Case {
        V device;
        V wanted;
        bool atLeast;
    } cases[] = {
        {{10, 0, 0}, {10, 0, 0}, true},   {{10, 3, 1}, {10, 3, 0}, true}, {{10, 3, 0}, {10, 3, 1}, false},
        {{9, 3, 5}, {10, 0, 0}, false},   {{11, 0, 0}, {10, 9, 9}, true}, {{10, 10, 0}, {10, 9, 0}, true},
        {{10, 2, 0}, {10, 10, 0}, false}, {{7, 0, 1}, {7, 0, 0}, true},
    };
    auto saved = PlatformConfig::current();
    auto& info = ProcessInfo::processInfo();
    for (const auto& c : cases) {
        std::string label = c.device.string() + " >= " + c.wanted.string();
        EXPECT_EQ(c.device.atLeast(c.wanted.major, c.wanted.minor, c.wanted.patch), c.atLeast) << label;
        PlatformConfig::update([&](PlatformSettings& s) { s.systemVersion = c.device; });
        EXPECT_EQ(info.isOperatingSystemAtLeastVersion(c.wanted), c.atLeast) << label;
        EXPECT_EQ(info.operatingSystemVersion(), c.device);
    }
    PlatformConfig::set(saved);
}

}  // namespace
}  // namespace platform
