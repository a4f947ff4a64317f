// A FIFO, a socket or a device where a device file should be (or at the end of a link there): reading or
// writing the file never waits on it nor opens it, and the preferences store sets it aside as it sets
// a damaged file aside. A link to a regular file goes on working.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Stream.h"
#include "platform/foundation/UserDefaults.h"
#include "testing/SpecialFiles.h"
#include "testing/TemporaryDeviceRoot.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class SpecialFilesTest : public ::testing::Test {
protected:
    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {"Library/Preferences", "elsewhere"}};
    const std::string root = device.path();
    FileManager& fm = FileManager::defaultManager();

    // What may stand where a file should be; `fifo` is the FIFO a reader could wait on ("" for none).
    struct Kind {
        const char* label;
        std::function<void(const std::string& path)> make;
        std::string said;  // in the error's description
        std::string fifo;
    };
    std::vector<Kind> kinds() const {
        const std::string fifo = root + "/elsewhere/fifo";
        return {
            {"a FIFO", [](const std::string& p) { ASSERT_TRUE(tesmar_testing::makeFifo(p)); }, "is a FIFO, not a file",
             ""},
            {"a link to a FIFO",
             [fifo](const std::string& p) {
                 fs::remove(fifo);
                 ASSERT_TRUE(tesmar_testing::makeFifo(fifo));
                 fs::create_symlink(fifo, p);
             },
             "is a FIFO, not a file", fifo},
            {"a socket", [](const std::string& p) { ASSERT_TRUE(tesmar_testing::makeSocketFile(p)); },
             "is a socket, not a file", ""},
            {"a link to a device", [](const std::string& p) { fs::create_symlink("/dev/zero", p); },
             "is a device, not a file", ""},
        };
    }
    static mode_t typeOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode & S_IFMT;
    }
};

TEST_F(SpecialFilesTest, ReadersAndWritersNeverOpenWhatIsNoFile) {
    const Bytes listBytes = plist::write(Value::dictionary({{"k", 1}})).value();
    for (const auto& kind : kinds()) {
        SCOPED_TRACE(kind.label);
        const std::string path = root + "/Library/file";
        fs::remove(path);
        kind.make(path);
        const std::string fifo = kind.fifo.empty() ? path : kind.fifo;
        const bool readInTime = tesmar_testing::finishesWithoutWaiting(fifo, [&] {
            auto bytes = fm.contentsOfFile(path);
            ASSERT_FALSE(bytes);
            EXPECT_TRUE(FileManager::isSpecialFile(bytes.error()));
            EXPECT_NE(bytes.error().localizedDescription().find(kind.said), std::string::npos)
                << bytes.error().localizedDescription();
            auto list = plist::readFile(path);
            ASSERT_FALSE(list);
            EXPECT_TRUE(FileManager::isSpecialFile(list.error()));
            auto stream = InputStream::withFileAtPath(path);
            stream->open();
            EXPECT_EQ(stream->streamStatus(), StreamStatus::Error);
            // A writer that appends (a log) waits for a reader as long as a reader waits for a writer.
            auto appending = fm.openFile(path, O_WRONLY | O_APPEND | O_CREAT);
            ASSERT_FALSE(appending);
            EXPECT_TRUE(FileManager::isSpecialFile(appending.error()));
        });
        EXPECT_TRUE(readInTime) << "waited on it";
        // An atomic write renames a new file over it and never opens it.
        const bool writtenInTime =
            tesmar_testing::finishesWithoutWaiting(fifo, [&] { EXPECT_TRUE(fm.writeAtomically(path, listBytes)); });
        EXPECT_TRUE(writtenInTime) << "waited on it";
        EXPECT_EQ(typeOf(path), mode_t(S_IFREG));
        EXPECT_EQ(plist::readFile(path).value(), Value::dictionary({{"k", 1}}));
    }
    // A folder is refused as before; a link to a regular file reads as the file.
    const std::string folder = root + "/elsewhere";
    EXPECT_EQ(fm.contentsOfFile(folder).error().userInfo[kUnderlyingErrorKey]["code"].integerOr(0), EISDIR);
    EXPECT_FALSE(FileManager::isSpecialFile(plist::readFile(folder).error()));
    const std::string link = root + "/Library/link";
    fs::create_symlink(root + "/Library/file", link);
    EXPECT_EQ(plist::readFile(link).value(), Value::dictionary({{"k", 1}}));
    EXPECT_EQ(fm.contentsOfFile(link).value(), listBytes);
}

// The preferences store reads its file at the first use: what is no file there is set aside and said, as
// a damaged file is, and the domain starts afresh. A folder stays where it is (the write then fails and is
// said), and a link to a whole file is read through.
TEST_F(SpecialFilesTest, PreferencesSetWhatIsNoFileAsideWithoutWaiting) {
    std::vector<Value> said;
    auto listening = DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
        if (event == "storage.corrupt") said.push_back(fields);
    });
    int n = 0;
    for (const auto& kind : kinds()) {
        SCOPED_TRACE(kind.label);
        const std::string name = "special" + std::to_string(++n),
                          path = root + "/Library/Preferences/" + name + ".plist";
        kind.make(path);
        const mode_t type = typeOf(path);
        said.clear();
        const bool inTime = tesmar_testing::finishesWithoutWaiting(kind.fifo.empty() ? path : kind.fifo, [&] {
            UserDefaults d(name);
            EXPECT_TRUE(d.persistentDomainKeys().empty());
            EXPECT_TRUE(d.setInteger(7, "k"));
        });
        EXPECT_TRUE(inTime) << "waited on it";
        EXPECT_EQ(said,
                  std::vector<Value>{Value::dictionary({{"path", "Library/Preferences/" + name + ".plist"},
                                                        {"copy", "Library/Preferences/" + name + ".plist.corrupt"}})});
        EXPECT_EQ(typeOf(path + ".corrupt"), type);
        EXPECT_EQ(plist::readFile(path).value(), Value::dictionary({{"k", 7}}));
    }

    said.clear();
    const std::string folder = root + "/Library/Preferences/folder.plist";
    fs::create_directory(folder);
    UserDefaults inFolder("folder");
    EXPECT_TRUE(inFolder.persistentDomainKeys().empty());
    EXPECT_FALSE(inFolder.setInteger(1, "k"));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(said.empty());

    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"kept", "yes"}}), root + "/elsewhere/whole.plist"));
    fs::create_symlink(root + "/elsewhere/whole.plist", root + "/Library/Preferences/linked.plist");
    UserDefaults linked("linked");
    EXPECT_EQ(linked.stringForKey("kept"), "yes");
    EXPECT_TRUE(said.empty());
}

}  // namespace
}  // namespace platform
