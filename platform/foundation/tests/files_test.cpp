#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/internal/FileFaults.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
protected:
    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {}};
    const std::string root = device.path();
    FileManager& fm = FileManager::defaultManager();

    void writePlain(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    std::string readPlain(const std::string& path) {
        auto s = fm.stringWithContentsOfFile(path);
        return s ? *s : "<error: " + s.error().description() + ">";
    }
    mode_t modeOf(const std::string& path) {
        struct stat st;
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }
};

TEST_F(FilesTest, StandardDirectoriesLiveInsideTheRootAndAreMadeAtTheFirstWriteIntoThem) {
    struct Case {
        SearchPathDirectory which;
        const char* suffix;
        bool made;  // by asking for it
    } cases[] = {
        {SearchPathDirectory::Documents, "/Documents", false},
        {SearchPathDirectory::Library, "/Library", false},
        {SearchPathDirectory::Caches, "/Library/Caches", false},
        {SearchPathDirectory::ApplicationSupport, "/Library/Application Support", false},
        {SearchPathDirectory::Preferences, "/Library/Preferences", false},
        {SearchPathDirectory::Temporary, "/tmp", true},  // handed out to be written into directly
        {SearchPathDirectory::Bundle, "/Bundle", false},
    };
    const std::string canonicalRoot = fs::canonical(root).string();
    for (const auto& c : cases) {
        auto dir = fm.directory(c.which);
        ASSERT_TRUE(dir) << c.suffix;
        EXPECT_EQ(fs::weakly_canonical(*dir).string(), canonicalRoot + c.suffix);
        EXPECT_EQ(fm.isDirectory(*dir), c.made) << c.suffix;
    }
    EXPECT_EQ(modeOf(root + "/tmp"), 0700u);
    EXPECT_EQ(fm.temporaryDirectory().back(), '/');

    // Each way of putting something into a standard directory makes it, as the device makes it (0755),
    // whatever mode the caller's own file or folder gets.
    auto dirOf = [&](SearchPathDirectory which) { return *fm.directory(which); };
    writePlain(root + "/moved", "m");
    struct Write {
        const char* label;
        SearchPathDirectory into;
        std::function<bool(const std::string& dir)> write;
    } writes[] = {
        {"atomic write", SearchPathDirectory::Caches,
         [&](const std::string& dir) { return fm.writeAtomically(dir + "/f", std::string_view("x")).ok(); }},
        {"exclusive create", SearchPathDirectory::Documents,
         [&](const std::string& dir) { return fm.createFileExclusively(dir + "/f").ok(); }},
        {"open", SearchPathDirectory::ApplicationSupport,
         [&](const std::string& dir) { return fm.openFile(dir + "/f", O_WRONLY | O_CREAT).ok(); }},
        {"move", SearchPathDirectory::Preferences,
         [&](const std::string& dir) { return fm.moveItem(root + "/moved", dir + "/f").ok(); }},
        {"folder", SearchPathDirectory::Library,
         [&](const std::string& dir) { return fm.createDirectory(dir + "/f", false, 0700).ok(); }},
        {"folders", SearchPathDirectory::Caches,
         [&](const std::string& dir) { return fm.createDirectory(dir + "/f/g", true, 0700).ok(); }},
    };
    for (const auto& w : writes) {
        SCOPED_TRACE(w.label);
        fs::remove_all(root + "/Library");
        fs::remove_all(root + "/Documents");
        const std::string dir = dirOf(w.into);
        ASSERT_TRUE(w.write(dir));
        EXPECT_TRUE(fs::exists(dir + "/f"));
        EXPECT_EQ(modeOf(dir), 0755u);
    }

    // A folder below a standard directory stays the caller's to make.
    EXPECT_EQ(
        fm.writeAtomically(dirOf(SearchPathDirectory::Preferences) + "/missing/f", std::string_view("x")).error().code,
        kFileNoSuchFileError);
    EXPECT_FALSE(fs::exists(dirOf(SearchPathDirectory::Preferences) + "/missing"));

    // Writers racing into a standard directory that is not there yet all find it made.
    fs::remove_all(root + "/Library");
    std::vector<std::thread> writers;
    std::atomic<int> written{0};
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([&, i] {
            if (fm.writeAtomically(dirOf(SearchPathDirectory::Caches) + "/w" + std::to_string(i),
                                   std::string_view("x")))
                ++written;
        });
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(written.load(), 8);
}

TEST_F(FilesTest, NotBootedDeviceHasNoDirectories) {
    PlatformConfig::update([](PlatformSettings& s) { s.deviceRoot.clear(); });
    EXPECT_FALSE(fm.directory(SearchPathDirectory::Caches));
    EXPECT_EQ(fm.temporaryDirectory(), "");
    EXPECT_EQ(fm.devicePath("/private/x"), "");
}

TEST_F(FilesTest, TemporaryDirectoryIsTightenedAndALinkIsRefused) {
    ASSERT_EQ(::mkdir((root + "/tmp").c_str(), 0777), 0);
    ::chmod((root + "/tmp").c_str(), 0777);
    ASSERT_TRUE(fm.directory(SearchPathDirectory::Temporary));
    EXPECT_EQ(modeOf(root + "/tmp"), 0700u);

    fs::remove(root + "/tmp");
    fs::create_directory(root + "/elsewhere");
    ::chmod((root + "/elsewhere").c_str(), 0700);
    fs::create_directory_symlink(root + "/elsewhere", root + "/tmp");
    EXPECT_FALSE(fm.directory(SearchPathDirectory::Temporary));
    EXPECT_FALSE(fm.createTemporaryFile("x"));
}

TEST_F(FilesTest, DevicePathNeverLeavesTheRoot) {
    auto home = fm.homeDirectory();
    ASSERT_TRUE(home);
    EXPECT_EQ(fm.devicePath("/private/jailbreak.txt"), *home + "/private/jailbreak.txt");
    EXPECT_EQ(fm.devicePath("/../../etc/passwd"), *home + "/etc/passwd");
    EXPECT_EQ(fm.devicePath("a/./b/../c"), *home + "/a/c");
}

TEST_F(FilesTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporaries) {
    // Flushed to storage or not, a write replaces the whole file and never writes through a link.
    for (auto flush : {FileManager::Flush::Durable, FileManager::Flush::Deferred}) {
        SCOPED_TRACE(flush == FileManager::Flush::Durable ? "durable" : "deferred");
        const std::string dir = *fm.directory(SearchPathDirectory::ApplicationSupport) +
                                (flush == FileManager::Flush::Durable ? "/durable" : "/deferred");
        ASSERT_TRUE(fm.createDirectory(dir, true));
        const std::string path = dir + "/state";
        ASSERT_TRUE(fm.writeAtomically(path, std::string_view("first version, longer"), 0644, flush));
        ASSERT_TRUE(fm.writeAtomically(path, std::string_view("second"), 0600, flush));
        EXPECT_EQ(readPlain(path), "second");
        EXPECT_EQ(modeOf(path), 0600u);
        EXPECT_EQ(*fm.contentsOfDirectory(dir), std::vector<std::string>{"state"});

        // A link at the destination is replaced, never written through.
        const std::string target = dir + "/target";
        writePlain(target, "keep");
        fs::create_symlink(target, dir + "/link");
        ASSERT_TRUE(fm.writeAtomically(dir + "/link", std::string_view("new"), 0644, flush));
        EXPECT_EQ(readPlain(target), "keep");
        EXPECT_FALSE(fs::is_symlink(dir + "/link"));
        EXPECT_EQ(readPlain(dir + "/link"), "new");

        // A folder at the destination is refused and kept whole, and nothing is left beside it.
        fs::create_directory(dir + "/folder");
        writePlain(dir + "/folder/inside", "kept");
        EXPECT_FALSE(fm.writeAtomically(dir + "/folder", std::string_view("file"), 0644, flush));
        EXPECT_EQ(readPlain(dir + "/folder/inside"), "kept");
        EXPECT_EQ(*fm.contentsOfDirectory(dir), (std::vector<std::string>{"folder", "link", "state", "target"}));

        // Many replacements in a row leave one file with the last contents and no temporaries.
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(fm.writeAtomically(path, "version " + std::to_string(i), 0600, flush));
        EXPECT_EQ(readPlain(path), "version 19");
        EXPECT_EQ(fm.contentsOfDirectory(dir)->size(), 4u);
    }
}

// What a kill in the middle of a write leaves goes when the store opens, and only that: another file's
// temporaries, other names and anything that is not a plain file stay.
TEST_F(FilesTest, StaleTemporariesOfOneFileAreSweptAndNothingElse) {
    const std::string dir = *fm.directory(SearchPathDirectory::Preferences);
    fs::create_directories(dir);
    const std::vector<std::string> stale = {".x.plist.AbCdE01234.tmp", ".x.plist.tmp-4242-0-123456789"};
    const std::vector<std::string> kept = {"x.plist",
                                           ".x.plist.AbCdE0123.tmp",         // not the file layer's length
                                           ".x.plist.AbCdE01234.tmp.keep",   // more after the name
                                           ".x.plist.Ab_dE01234.tmp",        // not a random suffix
                                           ".x.plist.tmp-12ab",              // not a pid and counters
                                           ".y.x.plist.AbCdE01234.tmp",      // another file's
                                           ".x.plist.extra.AbCdE01234.tmp",  // another file's
                                           "x.plist.AbCdE01234.tmp"};
    for (const auto& name : stale) writePlain(dir + "/" + name, "half");
    for (const auto& name : kept) writePlain(dir + "/" + name, "mine");
    fs::create_directory(dir + "/.x.plist.ZZZZZZZZZZ.tmp");
    EXPECT_EQ(fm.removeStaleTemporaryFiles(dir + "/x.plist"), stale.size());
    for (const auto& name : stale) EXPECT_FALSE(fs::exists(dir + "/" + name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(dir + "/" + name)) << name;
    EXPECT_TRUE(fs::is_directory(dir + "/.x.plist.ZZZZZZZZZZ.tmp"));
}

class PendingWritesTest : public FilesTest {
protected:
    ~PendingWritesTest() override {
        PendingWrites::setDelayScheduler(std::move(scheduler));
        if (worker) PendingWrites::setWorker(std::move(*worker));
        tesmar_testing::resetProcessState({"foundation.pending-writes", "foundation.file-faults"});
    }
    PendingWrites::DelayScheduler scheduler;      // the one the test replaced
    std::optional<PendingWrites::Worker> worker;  // likewise
    std::vector<Value> said;
    DeviceEvents::Token listening = DeviceEvents::addListener([this](const std::string& event, const Value& fields) {
        if (event.rfind("storage.", 0) == 0) said.push_back(Value::dictionary({{"event", event}, {"fields", fields}}));
    });
    static Value failed(const std::string& path, const std::string& error) {
        return Value::dictionary(
            {{"event", "storage.failed"}, {"fields", Value::dictionary({{"path", path}, {"error", error}})}});
    }
    static Value recovered(const std::string& path) {
        return Value::dictionary({{"event", "storage.recovered"}, {"fields", Value::dictionary({{"path", path}})}});
    }
};

// A failed write is said once for the streak, keeps the latest bytes (not the first ones), and lands
// when retried after the delay or flushed; the success is said once too.
TEST_F(PendingWritesTest, AFailedWriteIsSaidOnceKeptAndWrittenWhenTheDiskTakesIt) {
    std::vector<std::pair<double, std::function<void()>>> timers;
    scheduler = PendingWrites::setDelayScheduler(
        [&](double s, std::function<void()> block) { timers.emplace_back(s, std::move(block)); });
    int fault = ENOSPC;
    detail::setWriteFault([&](const std::string&) { return fault; });
    const std::string path = *fm.directory(SearchPathDirectory::Library) + "/state";

    EXPECT_FALSE(PendingWrites::write(path, std::string_view("one"), {}));
    fault = EFBIG;
    EXPECT_FALSE(PendingWrites::write(path, std::string_view("two"), {}));
    PendingWrites::flushAll();
    EXPECT_EQ(said, std::vector<Value>{failed("Library/state", "No space left on device")});
    EXPECT_TRUE(PendingWrites::isPending(path));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_EQ(timers.size(), 1u) << "one timer for the streak";
    EXPECT_EQ(timers[0].first, PendingWrites::kFirstRetryDelay);

    timers[0].second();  // still failing: the next try waits twice as long
    ASSERT_EQ(timers.size(), 2u);
    EXPECT_EQ(timers[1].first, 2 * PendingWrites::kFirstRetryDelay);
    fault = 0;
    timers[1].second();
    EXPECT_EQ(readPlain(path), "two");
    EXPECT_FALSE(PendingWrites::isPending(path));
    EXPECT_EQ(said,
              (std::vector<Value>{failed("Library/state", "No space left on device"), recovered("Library/state")}));
    PendingWrites::flushAll();
    EXPECT_EQ(said.size(), 2u);
    EXPECT_EQ(*fm.contentsOfDirectory(*fm.directory(SearchPathDirectory::Library)), std::vector<std::string>{"state"});

    // A write that is only said is not kept; the next success ends its streak.
    PendingWrites::Options sayOnly;
    sayOnly.onFailure = PendingWrites::OnFailure::Say;
    fault = ENOSPC;
    EXPECT_FALSE(PendingWrites::write(path, std::string_view("cache"), sayOnly));
    fault = 0;
    PendingWrites::flushAll();
    EXPECT_EQ(readPlain(path), "two");
    EXPECT_TRUE(PendingWrites::write(path, std::string_view("cache"), sayOnly));
    EXPECT_EQ(said.size(), 4u);
    EXPECT_EQ(timers.size(), 2u) << "nothing to retry, no timer";
}

// A write for soon waits for its worker, or for a flush when the application ends first, makes its folder
// when asked to, gives way to a newer write, and fails as any write does: said and kept.
TEST_F(PendingWritesTest, AWriteForSoonLandsOnItsWorkerOrAtAFlushAndANewerWriteWins) {
    std::vector<std::function<void()>> jobs;
    worker = PendingWrites::setWorker([&](std::function<void()> job) { jobs.push_back(std::move(job)); });
    const std::string dir = *fm.directory(SearchPathDirectory::ApplicationSupport) + "/ids";
    PendingWrites::Options options;
    options.makeFolder = true;
    PendingWrites::writeSoon(dir + "/a", std::string_view("a1"), options);
    PendingWrites::writeSoon(dir + "/b", std::string_view("b1"), options);
    EXPECT_FALSE(fs::exists(dir)) << "nothing on disk before the worker runs";
    ASSERT_EQ(jobs.size(), 2u);
    jobs[0]();
    EXPECT_EQ(readPlain(dir + "/a"), "a1");
    PendingWrites::flushAll();
    EXPECT_EQ(readPlain(dir + "/b"), "b1");
    std::ofstream(dir + "/b") << "changed since";
    jobs[1]();  // nothing is left for it
    EXPECT_EQ(readPlain(dir + "/b"), "changed since");

    PendingWrites::writeSoon(dir + "/a", std::string_view("a2"), options);
    ASSERT_TRUE(PendingWrites::write(dir + "/a", std::string_view("a3"), {}));
    jobs.back()();
    EXPECT_EQ(readPlain(dir + "/a"), "a3");

    detail::setWriteFault([](const std::string&) { return ENOSPC; });
    PendingWrites::writeSoon(dir + "/c", std::string_view("c1"), options);
    jobs.back()();
    EXPECT_EQ(said, std::vector<Value>{failed("Library/Application Support/ids/c", "No space left on device")});
    EXPECT_TRUE(PendingWrites::isPending(dir + "/c"));
}

// Writers on several threads and flushes racing them: one streak is said once, and what lands is the
// last write's bytes, never an older retry's.
TEST_F(PendingWritesTest, RacingWritesAndFlushesSayOneStreakAndLandTheLastBytes) {
    std::atomic<int> fault{ENOSPC};
    detail::setWriteFault([&](const std::string&) { return fault.load(); });
    const std::string path = *fm.directory(SearchPathDirectory::Library) + "/raced";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                (void)PendingWrites::write(path, "t" + std::to_string(t) + "-" + std::to_string(i), {});
                if (t == 0) PendingWrites::flushAll();
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(PendingWrites::write(path, std::string_view("last"), {}));
    fault = 0;
    std::thread flusher([] { PendingWrites::flushAll(); });
    PendingWrites::flushAll();
    flusher.join();
    EXPECT_EQ(readPlain(path), "last");
    EXPECT_EQ(said,
              (std::vector<Value>{failed("Library/raced", "No space left on device"), recovered("Library/raced")}));
}

// A damaged file goes aside under a name of its own each time, numbered in order, and is said; only the
// newest copies are kept, and a file already gone is nothing to say.
TEST_F(PendingWritesTest, EachDamagedFileIsSetAsideUnderANameOfItsOwnAndSaid) {
    const std::string dir = *fm.directory(SearchPathDirectory::Library) + "/store";
    fs::create_directories(dir);
    const std::string path = dir + "/lists.plist";
    writePlain(dir + "/lists.plist.corrupt.x", "not a copy");
    const int made = PendingWrites::kKeptDamagedCopies + 2;
    for (int i = 0; i < made; ++i) {
        writePlain(path, "damaged " + std::to_string(i));
        const std::string name = "lists.plist.corrupt" + (i == 0 ? std::string() : "." + std::to_string(i));
        EXPECT_EQ(PendingWrites::setAsideDamagedFile(path), dir + "/" + name);
        EXPECT_EQ(readPlain(dir + "/" + name), "damaged " + std::to_string(i));
        EXPECT_EQ(said.back(), Value::dictionary({{"event", "storage.corrupt"},
                                                  {"fields", Value::dictionary({{"path", "Library/store/lists.plist"},
                                                                                {"copy", "Library/store/" + name}})}}));
    }
    EXPECT_FALSE(fs::exists(path));
    std::vector<std::string> kept = {"lists.plist.corrupt.x"};
    for (int i = made - PendingWrites::kKeptDamagedCopies; i < made; ++i)
        kept.push_back("lists.plist.corrupt." + std::to_string(i));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(*fm.contentsOfDirectory(dir), kept);

    EXPECT_FALSE(PendingWrites::setAsideDamagedFile(path));
    EXPECT_EQ(said.size(), size_t(made));
}

TEST_F(FilesTest, FailuresCarryTheirCodeAndPath) {
    const std::string missing = root + "/no/such/dir/file";
    auto w = fm.writeAtomically(missing, std::string_view("x"));
    ASSERT_FALSE(w);
    EXPECT_EQ(w.error().domain, kCocoaErrorDomain);
    EXPECT_EQ(w.error().code, kFileNoSuchFileError);
    EXPECT_EQ(w.error().userInfo[kUnderlyingErrorKey]["code"].integerOr(0), ENOENT);

    auto r = fm.contentsOfFile(root + "/absent");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, kFileReadNoSuchFileError);
    EXPECT_EQ(r.error().userInfo[kFilePathErrorKey].stringOr(""), root + "/absent");

    EXPECT_EQ(fm.removeItem(root + "/absent").error().code, kFileNoSuchFileError);
    EXPECT_FALSE(fm.contentsOfFile(root));  // a directory is not a file
    EXPECT_FALSE(fm.contentsOfDirectory(root + "/absent"));
}

TEST_F(FilesTest, ReadingHonoursTheSizeCap) {
    const std::string path = root + "/ten";
    writePlain(path, "0123456789");
    struct Case {
        size_t cap;
        bool ok;
    } cases[] = {{100, true}, {10, true}, {9, false}, {0, false}};
    for (const auto& c : cases) {
        auto r = fm.contentsOfFile(path, c.cap);
        EXPECT_EQ(r.ok(), c.ok) << c.cap;
        if (!c.ok) {
            EXPECT_EQ(r.error().code, kFileReadTooLargeError);
        }
    }
    // A file whose size says nothing (0 for what /proc makes as it is read) must still stop at the cap.
    auto unsized = fm.contentsOfFile("/proc/self/maps", 16);
    ASSERT_FALSE(unsized);
    EXPECT_EQ(unsized.error().code, kFileReadTooLargeError);
    EXPECT_EQ(*fm.fileSize(path), 10u);
    EXPECT_LT(std::abs(fm.modificationDate(path)->timeIntervalSinceNow()), 60.0);
}

TEST_F(FilesTest, MoveRefusesAnExistingDestinationAndCopyFallbackMovesTrees) {
    const std::string a = root + "/a", b = root + "/b";
    writePlain(a, "A");
    writePlain(b, "B");
    auto clash = fm.moveItem(a, b);
    ASSERT_FALSE(clash);
    EXPECT_EQ(clash.error().code, kFileWriteFileExistsError);
    EXPECT_EQ(readPlain(a), "A");
    EXPECT_EQ(readPlain(b), "B");

    ASSERT_TRUE(fm.moveItem(a, root + "/c"));
    EXPECT_FALSE(fm.fileExists(a));
    EXPECT_EQ(readPlain(root + "/c"), "A");

    // The cross-device road: a whole tree, links kept as links.
    ASSERT_TRUE(fm.createDirectory(root + "/tree/sub/deeper"));
    writePlain(root + "/tree/sub/deeper/leaf", "leaf");
    writePlain(root + "/tree/top", "top");
    fs::create_symlink("top", root + "/tree/ln");
    ASSERT_TRUE(fm.moveItemByCopying(root + "/tree", root + "/moved"));
    EXPECT_FALSE(fm.fileExists(root + "/tree"));
    EXPECT_EQ(readPlain(root + "/moved/sub/deeper/leaf"), "leaf");
    EXPECT_TRUE(fs::is_symlink(root + "/moved/ln"));
    EXPECT_EQ(readPlain(root + "/moved/ln"), "top");
    EXPECT_EQ(fm.moveItemByCopying(root + "/moved", root + "/c").error().code, kFileWriteFileExistsError);
    EXPECT_TRUE(fm.fileExists(root + "/moved/top"));

    ASSERT_TRUE(fm.copyItem(root + "/moved", root + "/copy"));
    EXPECT_EQ(readPlain(root + "/copy/top"), "top");
    EXPECT_TRUE(fm.fileExists(root + "/moved/top"));
}

TEST_F(FilesTest, RemoveIsRecursiveAndDoesNotFollowLinks) {
    ASSERT_TRUE(fm.createDirectory(root + "/keep"));
    writePlain(root + "/keep/file", "k");
    ASSERT_TRUE(fm.createDirectory(root + "/gone/a/b"));
    writePlain(root + "/gone/a/b/f", "x");
    fs::create_directory_symlink(root + "/keep", root + "/gone/link");
    ASSERT_TRUE(fm.removeItem(root + "/gone"));
    EXPECT_FALSE(fm.fileExists(root + "/gone"));
    EXPECT_EQ(readPlain(root + "/keep/file"), "k");
}

TEST_F(FilesTest, CreateDirectoryAppliesModeAndRefusesAFileInTheWay) {
    ASSERT_TRUE(fm.createDirectory(root + "/p/q/r", true, 0700));
    EXPECT_EQ(modeOf(root + "/p"), 0700u);
    EXPECT_EQ(modeOf(root + "/p/q/r"), 0700u);
    ASSERT_TRUE(fm.createDirectory(root + "/p/q/r"));  // already there: fine
    EXPECT_FALSE(fm.createDirectory(root + "/p/q/r", false));
    EXPECT_FALSE(fm.createDirectory(root + "/x/y", false));
    writePlain(root + "/file", "f");
    EXPECT_FALSE(fm.createDirectory(root + "/file/sub"));
    bool isDir = true;
    EXPECT_TRUE(fm.fileExists(root + "/file", isDir));
    EXPECT_FALSE(isDir);
    EXPECT_EQ(*fm.contentsOfDirectory(root), (std::vector<std::string>{"file", "p"}));
}

TEST_F(FilesTest, ExclusiveCreateRefusesFilesAndLinksAlreadyThere) {
    const std::string dir = root + "/ex";
    ASSERT_TRUE(fm.createDirectory(dir));
    writePlain(dir + "/existing", "old");
    writePlain(dir + "/victim", "victim");
    fs::create_symlink(dir + "/victim", dir + "/link");
    fs::create_symlink(dir + "/nowhere", dir + "/dangling");

    for (const char* name : {"existing", "link", "dangling"}) {
        auto h = fm.createFileExclusively(dir + "/" + name);
        ASSERT_FALSE(h) << name;
        EXPECT_EQ(h.error().code, kFileWriteFileExistsError) << name;
    }
    EXPECT_EQ(readPlain(dir + "/existing"), "old");
    EXPECT_EQ(readPlain(dir + "/victim"), "victim");
    EXPECT_FALSE(fm.fileExists(dir + "/nowhere"));

    auto fresh = fm.createFileExclusively(dir + "/fresh");
    ASSERT_TRUE(fresh);
    ASSERT_TRUE(fresh->writeAll("abc", 3));
    EXPECT_EQ(modeOf(dir + "/fresh"), 0600u);
}

TEST_F(FilesTest, TemporaryFilesArePrivateAndOnlyInPrivateDirectories) {
    auto a = fm.createTemporaryFile("upload");
    auto b = fm.createTemporaryFile("upload");
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_NE(a->path, b->path);
    EXPECT_EQ(a->path.rfind(fm.temporaryDirectory(), 0), 0u);
    EXPECT_EQ(modeOf(a->path), 0600u);
    ASSERT_TRUE(a->handle.writeAll("data", 4));
    ASSERT_TRUE(a->handle.close());
    EXPECT_EQ(readPlain(a->path), "data");

    ASSERT_TRUE(fm.createDirectory(root + "/open", true, 0755));
    ::chmod((root + "/open").c_str(), 0755);
    EXPECT_FALSE(fm.createTemporaryFile("x", root + "/open"));
    ASSERT_TRUE(fm.createDirectory(root + "/private", true, 0700));
    EXPECT_TRUE(fm.createTemporaryFile("x", root + "/private"));
    EXPECT_FALSE(fm.createTemporaryFile("../escape"));
}

}  // namespace
}  // namespace platform
