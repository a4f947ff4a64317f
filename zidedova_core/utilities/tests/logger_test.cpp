#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"
#include "zidedova_core/utilities/ZUTLogger.h"
#include "zidedova_core/utilities/tests/LogCapture.h"

namespace zidedova {
namespace {

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { tesmar_testing::resetProcessState(); }
    void TearDown() override { tesmar_testing::resetProcessState(); }
    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {}};
    const std::string root = device.path();
    void makeAppStoreInstall() { std::filesystem::create_directories(root + "/Bundle/SC_Info"); }

    testing::LogCapture capture;
};

TEST(FormatTest, Conversions) {
    platform::Value dict = platform::Value::dictionary({{"a", 1}});
    platform::Value str("text");
    struct Case {
        std::string got, want;
    } cases[] = {
        {ZUTFormat("I-ACS%06ld", {25018}), "I-ACS025018"},
        {ZUTFormat("%@ (%@)", {"public", std::string("_internal")}), "public (_internal)"},
        {ZUTFormat("%s|%d|%u|%x|%%", {"s", -3, 7u, 255}), "s|-3|7|ff|%"},
        {ZUTFormat("%.2f", {1.5}), "1.50"},
        {ZUTFormat("%@", {str}), "text"},
        {ZUTFormat("%@", {dict}), dict.description()},
        {ZUTFormat("%@ and %@", {"one"}), "one and (null)"},
        {ZUTFormat("%ld", {"not a number"}), "not a number"},
        {ZUTFormat("trailing %", {}), "trailing %"},
        {ZUTFormat("%q?", {1}), "%q?"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST_F(LoggerTest, LineFormatBeforeAndAfterVersion) {
    ZUTLoggerLogError("[ZUTNetwork]", false, "I-NET000001", "failed %@ with %ld", "upload", 42L);
    ZUTLoggerSetVersion("5.12.0");
    ZUTLoggerLogNotice("[Zidedova/Core]", false, "I-COR000001", "Configuring the default app.");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, " - [ZUTNetwork][I-NET000001] failed upload with 42");
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[1].text, "5.12.0 - [Zidedova/Core][I-COR000001] Configuring the default app.");
    EXPECT_EQ(lines[1].level, 5);
}

TEST_F(LoggerTest, LevelTable) {
    struct Case {
        int set;
        bool appStore;
        int expectLevel;  // the highest level that is written afterwards
        bool invalidLogged;
    } cases[] = {
        {3, false, 3, false}, {7, false, 7, false}, {6, false, 6, false}, {8, false, 5, true},
        {2, false, 5, true},  {7, true, 5, false},  {4, true, 4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "level " << c.set << " appStore " << c.appStore);
        tesmar_testing::resetProcessState({"zidedova.utilities.logger"});
        std::filesystem::remove_all(root + "/Bundle/SC_Info");
        if (c.appStore) makeAppStoreInstall();
        capture.clear();
        ZUTLoggerSetLevel(c.set);
        EXPECT_EQ(capture.count("[I-COR000023] Invalid logger level, " + std::to_string(c.set)),
                  c.invalidLogged ? 1u : 0u);
        capture.clear();
        for (int level = 3; level <= 7; ++level) ZUTLoggerLog(level, "[T]", false, "I-TST000000", "at %d", level);
        auto lines = capture.lines();
        ASSERT_EQ(lines.size(), size_t(c.expectLevel - 2));
        for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].level, int(i) + 3);
    }
}

// Counts how often a log argument is turned into text.
struct Probe {
    std::atomic<int>* conversions;
    operator std::string() const {
        ++*conversions;
        return "probe";
    }
};

TEST_F(LoggerTest, DroppedMessageIsNeverFormatted) {
    std::atomic<int> conversions{0};
    Probe probe{&conversions};
    ZUTLoggerLogDebug("[T]", false, "I-TST000001", "%@", probe);
    EXPECT_EQ(conversions.load(), 0);
    ZUTLoggerLogNotice("[T]", false, "I-TST000001", "%@", probe);
    EXPECT_EQ(conversions.load(), 1);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, " - [T][I-TST000001] probe");
}

TEST_F(LoggerTest, ForceLogPassesTheLevelTestButNotTheClientFilter) {
    ZUTLoggerLogDebug("[T]", true, "I-TST000002", "forced");
    EXPECT_TRUE(capture.lines().empty());  // the client still filters at notice
    ZUTLoggerSetLevel(7);
    ZUTLoggerLogDebug("[T]", true, "I-TST000002", "forced");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 7);
}

TEST_F(LoggerTest, ForceDebugIgnoredInAppStoreInstall) {
    makeAppStoreInstall();
    ZUTLoggerForceDebug();
    EXPECT_FALSE(ZUTLoggerIsLoggableLevel(7));
    std::filesystem::remove_all(root + "/Bundle/SC_Info");
    ZUTLoggerForceDebug();
    EXPECT_TRUE(ZUTLoggerIsLoggableLevel(7));
}

TEST_F(LoggerTest, ManyThreadsLogAndChangeLevel) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                if (t == 0 && i % 50 == 0) ZUTLoggerSetLevel(3 + (i / 50) % 5);
                ZUTLoggerLogError("[T]", false, "I-TST000003", "thread %d line %d", t, i);
                if (t == 1 && i == 100) ZUTLoggerSetVersion("9.9.9");
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(capture.count("I-TST000003"), 800u);
}

}  // namespace
}  // namespace zidedova
