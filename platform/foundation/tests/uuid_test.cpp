#include "platform/foundation/UUID.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using platform::UUID;

// 8-4-4-4-12 upper-case hex, version digit 4, variant digit 8, 9, A or B.
bool hasVersion4Form(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return false;
        if (!dash && std::string("0123456789ABCDEF").find(text[i]) == std::string::npos) return false;
    }
    return text[14] == '4' && std::string("89AB").find(text[19]) != std::string::npos;
}

TEST(UUID, RandomIsVersion4InUpperCaseForm) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        UUID uuid = UUID::random();
        std::string text = uuid.uuidString();
        EXPECT_TRUE(hasVersion4Form(text)) << text;
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
