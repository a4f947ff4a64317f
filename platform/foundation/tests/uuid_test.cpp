#include "platform/foundation/UUID.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace {

using platform::UUID;

TEST(UUID, RandomIsVersion4InUpperCaseForm) {
    const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        UUID uuid = UUID::random();
        std::string text = uuid.uuidString();
        EXPECT_TRUE(std::regex_match(text, form)) << text;
        EXPECT_EQ(uuid.version(), 4);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(UUID, ParsesBothCasesAndRejectsEverythingElse) {
    auto parsed = UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), parsed);
    EXPECT_EQ(parsed->bytes()[0], 0xe6);
    EXPECT_EQ(parsed->bytes()[15], 0x5f);

    UUID random = UUID::random();
    EXPECT_EQ(UUID::fromString(random.uuidString()), random);

    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0", "E621E1F8-C36C-495A-93FC_0C247A3E6E5F",
                            "G621E1F8-C36C-495A-93FC-0C247A3E6E5F", "E621E1F-8C36C-495A-93FC-0C247A3E6E5F",
                            "{E621E1F8-C36C-495A-93FC-0C247A3E6E5}", "E621E1F8-C36C-495A-93FC-0C247A3E6E\x01F"}) {
        EXPECT_FALSE(UUID::fromString(bad)) << bad;
    }
}

}  // namespace
