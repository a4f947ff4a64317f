#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cmath>
#include <fstream>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Preferences.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/tests/DeviceRootFixture.h"

namespace platform {
namespace {

class FileMetadataTest : public testing::DeviceRootTest {};

TEST_F(FileMetadataTest, CreationDateIsWhenTheFileWasMadeNotLastChanged) {
    auto& files = FileManager::defaultManager();
    const std::string path = root + "/made";
    std::ofstream(path) << "x";
    // Push the modification time far back: a birth time, where the file system has one, stays put.
    struct utimbuf old {
        1000000000, 1000000000
    };
    ASSERT_EQ(::utime(path.c_str(), &old), 0);
    auto created = files.creationDate(path);
    ASSERT_TRUE(created.ok());
    struct statx sx {};
    ASSERT_EQ(::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &sx), 0);
    if (sx.stx_mask & STATX_BTIME)
        EXPECT_LT(std::abs(created->timeIntervalSinceNow()), 60);
    else
        EXPECT_DOUBLE_EQ(created->timeIntervalSince1970(), 1000000000);

    auto missing = files.creationDate(root + "/nothing-here");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, kFileReadNoSuchFileError);
}

TEST_F(FileMetadataTest, ExcludedFromBackupFlagTravelsWithTheFile) {
    auto& files = FileManager::defaultManager();
    const std::string path = root + "/a";
    std::ofstream(path) << "x";
    EXPECT_EQ(files.isExcludedFromBackup(path).valueOr(true), false);
    ASSERT_TRUE(files.setExcludedFromBackup(path, true).ok());
    EXPECT_EQ(files.isExcludedFromBackup(path).valueOr(false), true);
    ASSERT_TRUE(files.moveItem(path, root + "/b").ok());
    EXPECT_EQ(files.isExcludedFromBackup(root + "/b").valueOr(false), true);
    ASSERT_TRUE(files.setExcludedFromBackup(root + "/b", false).ok());
    ASSERT_TRUE(files.setExcludedFromBackup(root + "/b", false).ok());  // clearing twice is fine
    EXPECT_EQ(files.isExcludedFromBackup(root + "/b").valueOr(true), false);

    EXPECT_FALSE(files.setExcludedFromBackup(root + "/missing", true).ok());
    EXPECT_FALSE(files.isExcludedFromBackup(root + "/missing").ok());
}

class PreferencesFunctionsTest : public testing::DeviceRootTest {};

TEST_F(PreferencesFunctionsTest, DomainsByApplicationIdentifier) {
    ASSERT_TRUE(CFPreferencesSetAppValue("k", Value("app"), kCFPreferencesCurrentApplication));
    ASSERT_TRUE(CFPreferencesSetAppValue("k", Value("suite"), "com.example.suite"));
    EXPECT_EQ(CFPreferencesCopyAppValue("k", kCFPreferencesCurrentApplication), Value("app"));
    EXPECT_EQ(UserDefaults::standard()->stringForKey("k"), "app");
    EXPECT_EQ(CFPreferencesCopyAppValue("k", "com.example.suite"), Value("suite"));
    EXPECT_FALSE(CFPreferencesCopyAppValue("", "com.example.suite"));

    EXPECT_FALSE(CFPreferencesSetAppValue("", Value(1), "com.example.suite"));
    EXPECT_FALSE(CFPreferencesSetAppValue("bad", Value::array({Value()}), "com.example.suite"));
    EXPECT_FALSE(CFPreferencesCopyAppValue("bad", "com.example.suite"));

    ASSERT_TRUE(CFPreferencesSetMultiple({{"a", Value(1)}, {"b", Value(2)}}, {"k"}, "com.example.suite"));
    EXPECT_EQ(CFPreferencesCopyKeyList("com.example.suite"), (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(CFPreferencesSetAppValue("a", std::nullopt, "com.example.suite"));
    EXPECT_EQ(CFPreferencesCopyKeyList("com.example.suite"), (std::vector<std::string>{"b"}));

    const size_t before = CFPreferencesAppSynchronizeCallCount();
    EXPECT_TRUE(CFPreferencesAppSynchronize("com.example.suite"));
    EXPECT_EQ(CFPreferencesAppSynchronizeCallCount(), before + 1);
    // Written through to the suite's own file.
    EXPECT_EQ(UserDefaults("com.example.suite").integerForKey("b"), 2);
}

}  // namespace
}  // namespace platform
