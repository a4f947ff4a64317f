#include <gtest/gtest.h>

#include "host/Commands.h"
#include "host/Options.h"

namespace tesmar_host {
namespace {

TEST(HostDelegateCommands, ArgumentsAreCheckedBeforeAnythingRuns) {
    using Kind = Command::Kind;
    struct Case {
        const char* line;
        bool ok;
        Kind kind = Kind::Quit;
        const char* text = "";
        const char* extra = "";
    };
    const Case cases[] = {
        {"open-url tesmar://a?b=1", true, Kind::OpenURL, "tesmar://a?b=1", ""},
        {"open-url https://x.example/p com.example.mail", true, Kind::OpenURL, "https://x.example/p",
         "com.example.mail"},
        {"open-url", false},
        {"open-url not-a-url", false},
        {"open-url tesmar://a one two", false},
        {"user-activity NSUserActivityTypeBrowsingWeb https://x.example/p", true, Kind::UserActivity,
         "NSUserActivityTypeBrowsingWeb", "https://x.example/p"},
        {"user-activity com.example.handoff", true, Kind::UserActivity, "com.example.handoff", ""},
        {"user-activity", false},
        {"user-activity T notaurl", false},
        {"background-session-events com.zut.network.background-upload-1", true, Kind::BackgroundSessionEvents,
         "com.zut.network.background-upload-1", ""},
        {"background-session-events", false},
        {"background-session-events a b", false},
    };
    for (const auto& c : cases) {
        auto parsed = parseCommand(c.line);
        ASSERT_EQ(parsed.command.has_value(), c.ok) << c.line << ": " << parsed.error;
        if (!c.ok) {
            EXPECT_FALSE(parsed.error.empty()) << c.line;
            continue;
        }
        EXPECT_EQ(parsed.command->kind, c.kind) << c.line;
        EXPECT_EQ(parsed.command->text, c.text) << c.line;
        EXPECT_EQ(parsed.command->extra, c.extra) << c.line;
    }
    for (const char* verb : {"open-url", "user-activity", "background-session-events"})
        EXPECT_NE(commandUsageText().find(verb), std::string::npos) << verb;
}

TEST(HostDelegateCommands, LaunchArgumentsBecomeTheProcessArguments) {
    auto parsed = parseOptions({"tesmar-sim", "--bundle", "b", "--launch-arg", "-ZDVDebugEnabled", "--launch-arg",
                                "-DOREdozadedoDebugEnabled"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->processArguments(),
              (std::vector<std::string>{"tesmar-sim", "-ZDVDebugEnabled", "-DOREdozadedoDebugEnabled"}));
    EXPECT_FALSE(parseOptions({"tesmar-sim", "--bundle", "b", "--launch-arg", ""}).options);
    EXPECT_NE(usageText().find("--launch-arg ARG"), std::string::npos);
}

}  // namespace
}  // namespace tesmar_host
