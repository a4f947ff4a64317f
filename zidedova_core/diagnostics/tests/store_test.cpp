// The diagnostics logger's files: record framing, file names, account directories, partial writes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/foundation/FileManager.h"
#include "testing/TemporaryDeviceRoot.h"
#include "zidedova_core/diagnostics/ZDVLoglaneStore.h"
#include "zidedova_core/diagnostics/tests/LoglaneFiles.h"

namespace zidedova {
namespace {

using platform::Bytes;

using test::readFile;
std::vector<Bytes> records(const Bytes& file) { return test::splitRecords(file); }

const LLNPBLogEvent& eventWithTime(int64_t ms, size_t padding = 0) {
    static LLNPBLogEvent event;
    NANOSetInt64(event, LLNPBLogEvent::event_time_ms, ms);
    NANOSetBytes(event, LLNPBLogEvent::source_extension,
                 padding ? std::optional<Bytes>(Bytes(padding, 0x5A)) : std::nullopt);
    return event;
}

TEST(LoglaneStore, RecordLengthsAreBase128Varints) {
    const std::pair<uint32_t, Bytes> cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x80, 0x01}},
        {300, {0xAC, 0x02}},
        {1048577, {0x81, 0x80, 0x40}},
        {UINT32_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const auto& [length, bytes] : cases) EXPECT_EQ(ZDVLoglaneRecordPrefix(length), bytes) << length;
}

TEST(LoglaneStore, AccountNamesCannotLeaveTheLogDirectory) {
    const std::pair<std::string, std::string> cases[] = {
        {"orchard", "orchard"}, {"a_b-C9", "a_b-C9"}, {"../x", "%2E%2E%2Fx"}, {"..", "%2E%2E"},
        {"a/b", "a%2Fb"},       {"a b%", "a%20b%25"}, {"\xC3\xA9", "%C3%A9"}, {"", ""},
    };
    for (const auto& [account, escaped] : cases) {
        EXPECT_EQ(ZDVLoglaneEscapeAccount(account), escaped);
        EXPECT_EQ(ZDVLoglaneUnescapeAccount(escaped), account);
    }
    for (const char* bad : {"%", "%4", "%zz", "a%G1"}) EXPECT_EQ(ZDVLoglaneUnescapeAccount(bad), std::nullopt) << bad;
}

class LoglaneWriterTest : public ::testing::Test {
protected:
    tesmar_testing::TemporaryDeviceRoot device{"loglane-store"};
    std::string dir = device.path() + "/logs/orchard/137";
};

TEST_F(LoglaneWriterTest, FilesAreMadeExclusivelyAndTheNextFreeNameIsTaken) {
    ZDVLoglaneWriter first(dir, 1000);
    ZDVLoglaneWriter second(dir, 1000);  // same millisecond
    ASSERT_TRUE(first.isOpen());
    ASSERT_TRUE(second.isOpen());
    EXPECT_EQ(first.path(), dir + "/1000");
    EXPECT_EQ(second.path(), dir + "/1001");
    struct stat st {};
    ASSERT_EQ(::stat(first.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A planted link is never written through.
    std::filesystem::create_symlink("/tmp/elsewhere", dir + "/2000");
    ZDVLoglaneWriter third(dir, 2000);
    EXPECT_EQ(third.path(), dir + "/2001");

    EXPECT_TRUE(first.writeLogEvent(eventWithTime(1)));
    EXPECT_TRUE(first.writeLogEvent(eventWithTime(2, 200)));
    first.close();
    EXPECT_FALSE(first.writeLogEvent(eventWithTime(3)));
    auto recs = records(readFile(dir + "/1000"));
    ASSERT_EQ(recs.size(), 2u);
    auto back = NANOMakeFromBuffer<LLNPBLogEvent>(recs[1]);
    ASSERT_TRUE(back);
    EXPECT_EQ(NANOGetInt64(*back, LLNPBLogEvent::event_time_ms), 2);
    EXPECT_EQ(first.numBytes(), readFile(dir + "/1000").size());
}

TEST_F(LoglaneWriterTest, AnEventThatDoesNotEncodeWritesNothing) {
    ZDVLoglaneWriter writer(dir, 1);
    LLNPBLogEvent event;
    NANOSetString(event, 3, std::string("x"));
    auto* record = static_cast<NANOString*>(event.messageInfo()->fields[3]);
    std::free(record->bytes);  // a value with no bytes cannot be encoded
    record->bytes = nullptr;
    EXPECT_FALSE(writer.writeLogEvent(event));
    EXPECT_EQ(writer.numBytes(), 0u);
    EXPECT_TRUE(readFile(writer.path()).empty());
}

TEST_F(LoglaneWriterTest, AFailedWriteLeavesOnlyWholeRecords) {
    ZDVLoglaneWriter writer(dir, 1);
    ASSERT_TRUE(writer.writeLogEvent(eventWithTime(1)));
    uint64_t whole = writer.numBytes();
    // The file may grow only a little more: the next record is cut off by the system.
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = whole + 16;
    ::setrlimit(RLIMIT_FSIZE, &tight);
    bool wrote = writer.writeLogEvent(eventWithTime(2, 4096));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(readFile(writer.path()).size(), whole);
    EXPECT_TRUE(writer.writeLogEvent(eventWithTime(3)));
    EXPECT_EQ(records(readFile(writer.path())).size(), 2u);
}

TEST_F(LoglaneWriterTest, ListingFindsFilesByAccountAndSourceAndSkipsStrangers) {
    std::string root = device.path() + "/logs";
    ZDVLoglaneAccountData orchard(root + "/" + ZDVLoglaneEscapeAccount("orchard"));
    ZDVLoglaneAccountData other(root + "/" + ZDVLoglaneEscapeAccount("a/b"));
    ASSERT_TRUE(orchard.writerForLogSource(137).writeLogEvent(eventWithTime(1)));
    ASSERT_TRUE(other.writerForLogSource(-5).writeLogEvent(eventWithTime(1)));
    orchard.flushWriters();
    other.flushWriters();
    std::filesystem::create_directories(root + "/orchard/notanumber");
    std::ofstream(root + "/orchard/notanumber/1") << "x";
    std::filesystem::create_directories(root + "/bad%zz/1");
    std::ofstream(root + "/bad%zz/1/1") << "x";

    auto listed = ZDVLoglaneListLogFiles(root);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].account, "a/b");
    EXPECT_EQ(listed[0].logSource, -5);
    EXPECT_EQ(listed[1].account, "orchard");
    EXPECT_EQ(listed[1].logSource, 137);
    EXPECT_EQ(listed[1].path.rfind(root + "/orchard/137/", 0), 0u);
}

}  // namespace
}  // namespace zidedova
