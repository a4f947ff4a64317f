#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/foundation/internal/FileFaults.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class DefaultsTest : public ::testing::Test {
protected:
    void TearDown() override { ProcessInfo::processInfo().setArguments({"tesmar"}); }
    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {}};
    const std::string root = device.path();
    std::string prefs() { return root + "/Library/Preferences/"; }
    Value onDisk(const std::string& domain) {
        auto v = plist::readFile(prefs() + domain + ".plist");
        return v ? *v : Value();
    }
};

TEST_F(DefaultsTest, ValuesPersistAcrossInstances) {
    const Value dict = Value::dictionary({{"k", 1}, {"list", Value::array({"a", 2.5})}});
    {
        UserDefaults d("group.example");
        ASSERT_TRUE(d.setString("text", "s"));
        ASSERT_TRUE(d.setInteger(-7, "i"));
        ASSERT_TRUE(d.setBool(true, "b"));
        ASSERT_TRUE(d.setDouble(0.25, "d"));
        ASSERT_TRUE(d.setObject(Value(Bytes{0, 1, 255}), "data"));
        ASSERT_TRUE(d.setObject(Value(Date{12345.5}), "date"));
        ASSERT_TRUE(d.setObject(dict, "dict"));
        EXPECT_EQ(fs::path(d.filePath()), fs::canonical(root) / "Library/Preferences/group.example.plist");
    }
    // Written through: the file already holds everything, before any synchronize.
    EXPECT_EQ(onDisk("group.example")["i"].integerOr(0), -7);

    UserDefaults again("group.example");
    EXPECT_EQ(again.stringForKey("s"), "text");
    EXPECT_EQ(again.integerForKey("i"), -7);
    EXPECT_EQ(again.boolForKey("b"), true);
    EXPECT_EQ(again.doubleForKey("d"), 0.25);
    EXPECT_EQ(again.dataForKey("data"), (Bytes{0, 1, 255}));
    EXPECT_EQ(again.dateForKey("date"), Date{12345.5});
    EXPECT_EQ(again.objectForKey("dict"), dict);
    EXPECT_EQ(again.persistentDomainKeys().size(), 7u);
}

TEST_F(DefaultsTest, TypedGettersAreAbsentOnAnotherType) {
    UserDefaults d("typed");
    ASSERT_TRUE(d.setString("5", "str"));
    ASSERT_TRUE(d.setInteger(5, "int"));
    ASSERT_TRUE(d.setBool(false, "bool"));
    ASSERT_TRUE(d.setObject(Value::array({1}), "arr"));

    EXPECT_FALSE(d.integerForKey("str"));
    EXPECT_FALSE(d.boolForKey("str"));
    EXPECT_FALSE(d.doubleForKey("str"));
    EXPECT_FALSE(d.arrayForKey("str"));
    EXPECT_FALSE(d.dictionaryForKey("arr"));
    EXPECT_FALSE(d.dataForKey("str"));
    EXPECT_FALSE(d.stringForKey("int"));
    EXPECT_FALSE(d.doubleForKey("bool"));
    EXPECT_EQ(d.doubleForKey("int"), 5.0);
    EXPECT_EQ(d.boolForKey("int"), true);
    EXPECT_EQ(d.boolForKey("bool"), false);
    EXPECT_EQ(d.integerForKey("bool"), 0);
    EXPECT_FALSE(d.objectForKey("missing"));
    EXPECT_FALSE(d.objectForKey(""));
}

TEST_F(DefaultsTest, InvalidKeysAndValuesChangeNothing) {
    UserDefaults d("invalid");
    ASSERT_TRUE(d.setInteger(1, "k"));
    EXPECT_FALSE(d.setInteger(2, ""));
    EXPECT_FALSE(d.setObject(Value::array({Value()}), "k"));  // a null inside has no property-list form
    EXPECT_FALSE(d.setObject(Value::dictionary({{"x", Value()}}), "k"));
    EXPECT_EQ(d.integerForKey("k"), 1);
    ASSERT_TRUE(d.setObject(Value(), "k"));  // null removes
    EXPECT_FALSE(d.objectForKey("k"));
    EXPECT_FALSE(onDisk("invalid").contains("k"));
}

TEST_F(DefaultsTest, AValueTheFileCannotHoldIsRefusedAndLaterWritesGoThrough) {
    const Value unwritable[] = {
        Value(std::string("a\0b", 3)),
        Value(std::nan("")),
        Value(std::numeric_limits<double>::infinity()),
        Value::array({Value(std::string("\0", 1))}),
        Value::dictionary({{std::string("k\0", 2), 1}}),
        Value(Date{1e12}),  // outside the dates the file format carries
    };
    UserDefaults d("unwritable");
    ASSERT_TRUE(d.setInteger(1, "kept"));
    for (const auto& value : unwritable) {
        SCOPED_TRACE(value.description());
        auto refused = d.setObject(value, "bad");
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().code, 3851);
        EXPECT_FALSE(d.objectForKey("bad"));
        // The domain is not stuck: the next write goes to disk, with what was there before.
        ASSERT_TRUE(d.setString("later", "after"));
        EXPECT_EQ(onDisk("unwritable")["after"].stringOr(""), "later");
        EXPECT_EQ(onDisk("unwritable")["kept"].integerOr(0), 1);
        EXPECT_FALSE(onDisk("unwritable").contains("bad"));
    }
    EXPECT_TRUE(d.synchronize());
}

TEST_F(DefaultsTest, StandardDomainFollowsTheBundleIdentifier) {
    EXPECT_EQ(UserDefaults::standard()->domainName(), "Tesmar");
    ASSERT_TRUE(UserDefaults::standard()->setInteger(1, "a"));
    EXPECT_TRUE(fs::exists(prefs() + "Tesmar.plist"));

    fs::create_directories(root + "/Bundle");
    ASSERT_TRUE(
        plist::writeFile(Value::dictionary({{"CFBundleIdentifier", "com.example.app"}}), root + "/Bundle/Info.plist"));
    Bundle::setMainBundlePath("");
    auto standard = UserDefaults::standard();
    EXPECT_EQ(standard->domainName(), "com.example.app");
    UserDefaults own("");
    ASSERT_TRUE(own.setString("shared", "k"));
    EXPECT_EQ(standard->stringForKey("k"), "shared");  // one domain, one set of values
    EXPECT_EQ(onDisk("com.example.app")["k"].stringOr(""), "shared");
}

TEST_F(DefaultsTest, RegistrationDomainIsConsultedLastAndNeverWritten) {
    UserDefaults d("reg");
    d.registerDefaults({{"flag", Value(true)}, {"n", Value(3)}});
    EXPECT_EQ(d.boolForKey("flag"), true);
    ASSERT_TRUE(d.setBool(false, "flag"));
    EXPECT_EQ(d.boolForKey("flag"), false);
    ASSERT_TRUE(d.removeObjectForKey("flag"));
    EXPECT_EQ(d.boolForKey("flag"), true);
    EXPECT_EQ(d.dictionaryRepresentation().size(), 2u);
    ASSERT_TRUE(d.setInteger(1, "other"));
    EXPECT_FALSE(onDisk("reg").contains("n"));
    EXPECT_FALSE(onDisk("reg").contains("flag"));
}

TEST_F(DefaultsTest, LaunchArgumentsOverrideEveryDomain) {
    UserDefaults d("args");
    ASSERT_TRUE(d.setBool(false, "ZDVDebugEnabled"));
    ProcessInfo::processInfo().setArguments({"tesmar", "-ZDVDebugEnabled", "YES", "-Count", "42", "-Ratio", "0.5",
                                             "-Name", "hello world", "-Lone", "-Neg", "-3", "positional"});
    EXPECT_EQ(d.boolForKey("ZDVDebugEnabled"), true);
    EXPECT_EQ(d.integerForKey("Count"), 42);
    EXPECT_EQ(d.doubleForKey("Ratio"), 0.5);
    EXPECT_EQ(d.stringForKey("Name"), "hello world");
    EXPECT_EQ(d.integerForKey("Neg"), -3);
    EXPECT_FALSE(d.objectForKey("Lone"));
    EXPECT_EQ(d.dictionaryRepresentation()["ZDVDebugEnabled"], Value(true));
    // The argument never reaches the stored domain.
    EXPECT_EQ(d.persistentDomain()["ZDVDebugEnabled"], Value(false));
}

TEST_F(DefaultsTest, SynchronizePicksUpAnotherWritersChangesAndWritesKeepThem) {
    UserDefaults d("shared.suite");
    ASSERT_TRUE(d.setInteger(1, "mine"));
    // Another process rewrites the file.
    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"mine", 1}, {"theirs", "t"}}), d.filePath()));
    EXPECT_TRUE(d.synchronize());
    EXPECT_EQ(d.stringForKey("theirs"), "t");

    // A write after an outside change keeps the outside keys.
    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"mine", 1}, {"theirs", "t2"}, {"new", true}}), d.filePath()));
    ASSERT_TRUE(d.setInteger(2, "mine"));
    Value disk = onDisk("shared.suite");
    EXPECT_EQ(disk["mine"].integerOr(0), 2);
    EXPECT_EQ(disk["theirs"].stringOr(""), "t2");
    EXPECT_EQ(disk["new"], Value(true));

    UserDefaults second("shared.suite");
    EXPECT_EQ(second.stringForKey("theirs"), "t2");
    ASSERT_TRUE(second.removeObjectsForKeys({"theirs", "new", "absent"}));
    EXPECT_TRUE(d.synchronize());
    EXPECT_FALSE(d.objectForKey("theirs"));
    EXPECT_EQ(d.persistentDomainKeys(), std::vector<std::string>{"mine"});
}

// Setting what the file already holds leaves the file alone; once another writer has changed the
// key, the same set writes again.
TEST_F(DefaultsTest, SettingTheStoredValueAgainWritesNothingUnlessTheFileSaysOtherwise) {
    UserDefaults d("shared.suite");
    ASSERT_TRUE(d.setInteger(1, "mine"));
    auto inode = [&] {
        struct stat st {};
        ::stat(d.filePath().c_str(), &st);
        return st.st_ino;
    };
    const auto written = inode();
    ASSERT_TRUE(d.setInteger(1, "mine"));
    ASSERT_TRUE(d.removeObjectForKey("absent"));
    EXPECT_EQ(inode(), written) << "nothing changed, nothing rewritten";

    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"mine", 5}}), d.filePath()));  // another process
    ASSERT_TRUE(d.setInteger(1, "mine"));
    EXPECT_EQ(onDisk("shared.suite")["mine"].integerOr(0), 1);
}

TEST_F(DefaultsTest, AFailedWriteKeepsTheValueAndSynchronizeRetries) {
    UserDefaults d("failing");
    // A non-empty folder where the file should go: the rename fails, even for a privileged user.
    fs::create_directories(d.filePath() + "/blocker");
    auto r = d.setString("v", "k");
    EXPECT_FALSE(r);
    EXPECT_EQ(d.stringForKey("k"), "v");
    EXPECT_FALSE(d.synchronize());
    fs::remove_all(d.filePath());
    EXPECT_TRUE(d.synchronize());
    EXPECT_EQ(onDisk("failing")["k"].stringOr(""), "v");
}

// A full disk: the change (a removal too) is said to be unsaved, with its keys among what an ending
// process would lose, and a flush writes it once there is room, even when every store object of the
// domain is gone by then.
TEST_F(DefaultsTest, AChangeTheDiskRefusedIsKeptUntilAFlushLandsIt) {
    detail::setWriteFault([](const std::string&) { return ENOSPC; });
    {
        UserDefaults d("group.full");
        EXPECT_FALSE(d.setString("no", "subscription"));
        EXPECT_FALSE(d.removeObjectForKey("subscription"));
        EXPECT_FALSE(d.setInteger(3, "badge"));
        EXPECT_EQ(d.unsavedKeys(), (std::vector<std::string>{"badge", "subscription"}));
        EXPECT_EQ(d.integerForKey("badge"), 3);
    }
    PendingWrites::flushAll();
    EXPECT_FALSE(fs::exists(prefs() + "group.full.plist"));
    std::vector<Value> said;
    auto listening = DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
        if (event == "storage.unsaved") said.push_back(fields);
    });
    EXPECT_EQ(PendingWrites::sayUnsaved(), 1u);
    EXPECT_EQ(said, std::vector<Value>{Value::dictionary({{"path", "Library/Preferences/group.full.plist"},
                                                          {"keys", Value::array({"badge", "subscription"})}})});
    detail::setWriteFault(nullptr);
    PendingWrites::flushAll();
    EXPECT_EQ(onDisk("group.full"), Value::dictionary({{"badge", 3}}));
    EXPECT_TRUE(UserDefaults("group.full").unsavedKeys().empty());
    EXPECT_EQ(PendingWrites::sayUnsaved(), 0u);
    tesmar_testing::resetProcessState({"foundation.pending-writes"});
}

// The application's own domain reaches the disk on the worker, whose write holds back no reader and no
// change on another thread; a change made meanwhile stays unsaved until its own write lands.
TEST_F(DefaultsTest, TheWorkersWriteHoldsNoOneBackAndKeepsAChangeMadeMeanwhile) {
    std::vector<std::function<void()>> jobs;
    auto previous = PendingWrites::setWorker([&](std::function<void()> job) { jobs.push_back(std::move(job)); });
    {
        UserDefaults own("");
        ASSERT_TRUE(own.setInteger(1, "a"));
        ASSERT_EQ(jobs.size(), 1u);
        std::future<void> meanwhile;
        detail::setWriteFault([&](const std::string&) {
            if (!meanwhile.valid())
                meanwhile = std::async(std::launch::async, [&] {
                    EXPECT_EQ(own.integerForKey("a"), 1);
                    EXPECT_TRUE(own.setInteger(2, "b"));
                });
            EXPECT_EQ(meanwhile.wait_for(std::chrono::seconds(5)), std::future_status::ready)
                << "the other thread waited for the disk";
            return 0;
        });
        jobs[0]();
        detail::setWriteFault(nullptr);
        EXPECT_EQ(onDisk("Tesmar"), Value::dictionary({{"a", 1}}));
        EXPECT_EQ(own.unsavedKeys(), std::vector<std::string>{"b"});
        ASSERT_EQ(jobs.size(), 2u);
        jobs[1]();
        EXPECT_EQ(onDisk("Tesmar"), Value::dictionary({{"a", 1}, {"b", 2}}));
        EXPECT_TRUE(own.unsavedKeys().empty());
    }
    PendingWrites::setWorker(std::move(previous));
}

// A file that cannot be read is neither taken as empty nor written over: its other keys survive, and
// the change waits until it can be merged in.
TEST_F(DefaultsTest, AFailedReadNeverErasesTheOtherKeys) {
    UserDefaults d("group.shared");
    ASSERT_TRUE(d.setInteger(1, "mine"));
    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"mine", 1}, {"theirs", "t"}}), d.filePath()));  // another process
    detail::setReadFault([](const std::string&) { return EIO; });
    EXPECT_EQ(d.integerForKey("mine"), 1) << "what was read before stays";
    EXPECT_FALSE(d.setInteger(2, "mine"));
    EXPECT_EQ(onDisk("group.shared"), Value::dictionary({{"mine", 1}, {"theirs", "t"}}));
    EXPECT_EQ(d.unsavedKeys(), std::vector<std::string>{"mine"});
    detail::setReadFault(nullptr);
    EXPECT_TRUE(d.synchronize());
    EXPECT_EQ(onDisk("group.shared"), Value::dictionary({{"mine", 2}, {"theirs", "t"}}));
    tesmar_testing::resetProcessState({"foundation.pending-writes"});
}

// Writers killed mid-write leave temporaries beside the domain file; opening the domain sweeps them.
TEST_F(DefaultsTest, OpeningADomainSweepsItsWritersStaleTemporaries) {
    fs::create_directories(prefs());
    std::ofstream(prefs() + ".swept.plist.AbCdE01234.tmp") << "half";
    std::ofstream(prefs() + ".other.plist.AbCdE01234.tmp") << "not ours";
    UserDefaults d("swept");
    EXPECT_FALSE(fs::exists(prefs() + ".swept.plist.AbCdE01234.tmp"));
    EXPECT_TRUE(fs::exists(prefs() + ".other.plist.AbCdE01234.tmp"));
}

// A damaged file is set aside and said, and a second damage keeps the first copy.
TEST_F(DefaultsTest, DamagedFileIsSetAsideAndSuiteNamesStayInsidePreferences) {
    std::vector<Value> said;
    auto listening = DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
        if (event == "storage.corrupt") said.push_back(fields);
    });
    fs::create_directories(prefs());
    std::ofstream(prefs() + "broken.plist") << "not a property list";
    {
        UserDefaults d("broken");
        EXPECT_TRUE(d.persistentDomainKeys().empty());
        ASSERT_TRUE(d.setInteger(1, "k"));
        std::ofstream(prefs() + "broken.plist") << "damaged again";
        EXPECT_FALSE(d.integerForKey("k"));
        ASSERT_TRUE(d.setInteger(2, "k"));
    }
    EXPECT_EQ(onDisk("broken"), Value::dictionary({{"k", 2}}));
    EXPECT_EQ(said, (std::vector<Value>{Value::dictionary({{"path", "Library/Preferences/broken.plist"},
                                                           {"copy", "Library/Preferences/broken.plist.corrupt"}}),
                                        Value::dictionary({{"path", "Library/Preferences/broken.plist"},
                                                           {"copy", "Library/Preferences/broken.plist.corrupt.1"}})}));
    std::string first;
    std::getline(std::ifstream(prefs() + "broken.plist.corrupt"), first);
    EXPECT_EQ(first, "not a property list");

    UserDefaults evil("../../evil");
    ASSERT_TRUE(evil.setInteger(1, "k"));
    EXPECT_EQ(fs::path(evil.filePath()).parent_path(), fs::canonical(root) / "Library/Preferences");
    EXPECT_FALSE(fs::exists(root + "/evil.plist"));
}

// A damaged file that cannot be moved aside (here the copy's name would be too long) is tried again at each
// read but said once, and once more when it changes; what was set meanwhile stays, waiting for the disk.
TEST_F(DefaultsTest, ADamagedFileThatCannotBeSetAsideIsSaidOncePerFile) {
    std::vector<Value> said;
    auto listening = DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
        if (event == "storage.corrupt") said.push_back(fields);
    });
    const std::string name(244, 'n'), path = prefs() + name + ".plist";
    fs::create_directories(prefs());
    std::ofstream(path) << "not a property list";
    UserDefaults d(name);
    EXPECT_FALSE(d.setInteger(1, "k"));  // its write fails too
    for (int i = 0; i < 3; ++i) EXPECT_EQ(d.integerForKey("k"), 1);
    EXPECT_FALSE(d.synchronize());
    const Value unmoved =
        Value::dictionary({{"path", "Library/Preferences/" + name + ".plist"}, {"error", "File name too long"}});
    EXPECT_EQ(said, std::vector<Value>{unmoved});
    std::ofstream(path, std::ios::app) << ", damaged again";
    EXPECT_EQ(d.integerForKey("k"), 1);
    EXPECT_EQ(d.unsavedKeys(), std::vector<std::string>{"k"});
    EXPECT_EQ(said, (std::vector<Value>{unmoved, unmoved}));
    tesmar_testing::resetProcessState({"foundation.pending-writes"});
}

// Another process of the device (the extension) holds the lock file while it writes the suite. A reader
// here that finds the file damaged moves it aside only under that lock, and only while it is still the
// file it read: not the whole file the other process has just put in its place, nor one it is working on.
TEST_F(DefaultsTest, AReaderSetsADamagedFileAsideOnlyUnderTheLockFile) {
    UserDefaults d("group.shared");
    fs::create_directories(prefs());
    const std::string path = d.filePath(), lockPath = path + ".lock", temporary = path + ".theirs";
    auto theirs = plist::write(Value::dictionary({{"theirs", "whole"}}), plist::Format::Binary);
    ASSERT_TRUE(theirs);
    // The other process, started just after the reader opened the damaged file, before it reads it: it
    // takes the lock file, and either puts its whole file in place by a rename and ends, or holds the lock
    // until `release` closes. Only system calls after the fork.
    int release[2] = {-1, -1};
    pid_t other = -1;
    auto startOtherProcess = [&](bool replace) {
        int held[2];
        ASSERT_EQ(::pipe(held), 0);
        ASSERT_EQ(::pipe(release), 0);
        other = ::fork();
        ASSERT_GE(other, 0);
        if (other == 0) {
            int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
            if (lock < 0 || ::flock(lock, LOCK_EX) != 0) _exit(1);
            if (replace) {
                int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (fd < 0 || ::write(fd, theirs->data(), theirs->size()) != ssize_t(theirs->size())) _exit(1);
                ::close(fd);
                if (::rename(temporary.c_str(), path.c_str()) != 0) _exit(1);
                _exit(0);
            }
            char c = 1;
            if (::write(held[1], &c, 1) != 1) _exit(1);
            ::close(release[1]);
            while (::read(release[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        ::close(held[1]);
        ::close(release[0]);
        char c;
        if (replace) {
            int status = 0;
            ASSERT_EQ(::waitpid(other, &status, 0), other);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            ::close(release[1]);
        } else {
            EXPECT_EQ(::read(held[0], &c, 1), 1) << "the other process holds the lock";
        }
        ::close(held[0]);
    };
    auto onTheReadAfterThis = [&](bool replace) {
        auto armed = std::make_shared<bool>(true);
        detail::setReadFault([=, &startOtherProcess](const std::string& read) {
            if (read == path && *armed) {
                *armed = false;
                startOtherProcess(replace);
            }
            return 0;
        });
    };
    struct ClearFault {
        ~ClearFault() { detail::setReadFault(nullptr); }
    } clearFault;

    {
        SCOPED_TRACE("replaced while read");
        std::ofstream(path) << "damaged";
        onTheReadAfterThis(true);
        EXPECT_EQ(d.stringForKey("theirs"), "whole");
        EXPECT_EQ(onDisk("group.shared"), Value::dictionary({{"theirs", "whole"}}));
        EXPECT_FALSE(fs::exists(path + ".corrupt"));
    }
    {
        SCOPED_TRACE("damaged while another process holds the lock");
        std::ofstream(path) << "damaged again";
        onTheReadAfterThis(false);
        EXPECT_EQ(d.stringForKey("theirs"), std::nullopt);
        EXPECT_FALSE(fs::exists(path + ".corrupt")) << "moved aside under another process's lock";
        ::close(release[1]);  // the other process lets go
        int status = 0;
        ASSERT_EQ(::waitpid(other, &status, 0), other);
        EXPECT_TRUE(d.persistentDomainKeys().empty());  // read again, now under the lock: set aside
        std::string kept;
        std::getline(std::ifstream(path + ".corrupt"), kept);
        EXPECT_EQ(kept, "damaged again");
    }
}

// Without the lock file (a folder in its place, no descriptor left to open it) the store goes on
// unserialised, as its writes then do: a damaged file is still set aside, but only while it is still the one
// read, never the whole file another process put in its place meanwhile; a change does not count the
// lock it failed to take as held.
TEST_F(DefaultsTest, WithoutTheLockFileADamagedFileIsSetAsideOnlyWhileItIsStillTheOneRead) {
    UserDefaults d("group.shared");
    fs::create_directories(prefs());
    const std::string path = d.filePath();
    struct rlimit files;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    struct RestoreLimit {
        struct rlimit limit;
        ~RestoreLimit() {
            ::setrlimit(RLIMIT_NOFILE, &limit);
            detail::setReadFault(nullptr);
        }
    } restore{files};
    // While the damaged file is read, another process puts a whole one in its place by a rename (it cannot
    // take the lock either); with `exhaust`, this one then has no descriptor left for what it opens next.
    auto replacedOnTheRead = [&](bool exhaust) {
        auto armed = std::make_shared<bool>(true);
        detail::setReadFault([=, &files](const std::string& read) {
            if (read != path || !*armed) return 0;
            *armed = false;
            EXPECT_TRUE(plist::writeFile(Value::dictionary({{"theirs", "whole"}}), path));
            if (exhaust) {
                struct rlimit none = files;
                none.rlim_cur = rlim_t(::dup(0));  // the lowest free descriptor, the first one refused
                ::close(int(none.rlim_cur));
                ::setrlimit(RLIMIT_NOFILE, &none);
            }
            return 0;
        });
    };

    {
        SCOPED_TRACE("no descriptor left: a reader");
        std::ofstream(path) << "damaged";
        replacedOnTheRead(true);
        (void)d.stringForKey("theirs");
        ::setrlimit(RLIMIT_NOFILE, &files);
        EXPECT_EQ(d.stringForKey("theirs"), "whole");
        EXPECT_FALSE(fs::exists(path + ".corrupt"));
    }
    fs::create_directory(path + ".lock");
    {
        SCOPED_TRACE("a folder in the lock file's place: a reader");
        std::ofstream(path) << "damaged";
        replacedOnTheRead(false);
        EXPECT_EQ(d.stringForKey("theirs"), "whole");
        EXPECT_FALSE(fs::exists(path + ".corrupt"));
    }
    {
        SCOPED_TRACE("a folder in the lock file's place: a change");
        std::ofstream(path) << "damaged";
        replacedOnTheRead(false);
        EXPECT_TRUE(d.setString("mine", "mine"));
        EXPECT_EQ(onDisk("group.shared"), Value::dictionary({{"theirs", "whole"}, {"mine", "mine"}}));
        EXPECT_FALSE(fs::exists(path + ".corrupt"));
    }
    {
        SCOPED_TRACE("a folder in the lock file's place: still the file read");
        std::ofstream(path) << "damaged";
        EXPECT_TRUE(d.persistentDomainKeys().empty());
        std::string kept;
        std::getline(std::ifstream(path + ".corrupt"), kept);
        EXPECT_EQ(kept, "damaged");
    }
}

TEST_F(DefaultsTest, ConcurrentWritersLoseNothing) {
    {
        UserDefaults d("threads");
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&d, t] {
                for (int i = 0; i < 25; ++i) {
                    ASSERT_TRUE(d.setInteger(i, "t" + std::to_string(t) + "-" + std::to_string(i)));
                    (void)d.objectForKey("t0-0");
                }
            });
        }
        for (auto& th : threads) th.join();
    }
    UserDefaults reread("threads");
    EXPECT_EQ(reread.persistentDomainKeys().size(), 100u);
}

// Two processes of one device (the app and its extension) counting in one suite: every increment lands,
// and each process's own keys survive the other's writes.
TEST_F(DefaultsTest, TwoProcessesCountingInOneSuiteLoseNothing) {
    constexpr int kIncrements = 300;
    auto count = [](const char* ownKey) {
        UserDefaults suite("group.count");
        for (int i = 0; i < kIncrements; ++i) {
            auto r = suite.updateObjectForKey(
                "count", [](const std::optional<Value>& v) { return Value((v ? v->integerOr(0) : 0) + 1); });
            if (!r) return false;
            if (i % 50 == 0 && !suite.setInteger(i, ownKey)) return false;
        }
        return true;
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(count("child") ? 0 : 1);
    EXPECT_TRUE(count("parent"));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    UserDefaults reread("group.count");
    EXPECT_EQ(reread.integerForKey("count"), 2 * kIncrements);
    EXPECT_EQ(reread.integerForKey("child"), 250);
    EXPECT_EQ(reread.integerForKey("parent"), 250);
    EXPECT_EQ(onDisk("group.count")["count"].integerOr(0), 2 * kIncrements);
}

TEST_F(DefaultsTest, UpdateReadsTheStoredValueAndNullRemoves) {
    UserDefaults d("update");
    std::optional<Value> seen = Value("unset");
    auto r = d.updateObjectForKey("k", [&](const std::optional<Value>& v) {
        seen = v;
        return Value(5);
    });
    ASSERT_TRUE(r);
    EXPECT_FALSE(seen);
    EXPECT_EQ(*r, Value(5));
    // Another writer's file is read before the update sees the value.
    ASSERT_TRUE(plist::writeFile(Value::dictionary({{"k", 9}}), d.filePath()));
    EXPECT_EQ(d.integerForKey("k"), 9);
    ASSERT_TRUE(d.updateObjectForKey("k", [&](const std::optional<Value>& v) {
        seen = v;
        return Value();
    }));
    EXPECT_EQ(seen, Value(9));
    EXPECT_FALSE(d.objectForKey("k"));
    EXPECT_FALSE(onDisk("update").find("k"));
    EXPECT_FALSE(d.updateObjectForKey("", [](const std::optional<Value>&) { return Value(1); }));
    EXPECT_FALSE(d.updateObjectForKey("obj", [](const std::optional<Value>&) {
        return Value::array({Value(), Value(1)});
    }));
}

TEST(DefaultsArguments, ParsesPairsAndValueKinds) {
    auto domain = UserDefaults::argumentDomain(
        {"app", "-A", "NO", "-B", "true", "-C", "12", "-D", "1.5", "-E", "1.2.3", "plain", "-F"});
    EXPECT_EQ(domain["A"], Value(false));
    EXPECT_EQ(domain["B"], Value(true));
    EXPECT_EQ(domain["C"], Value(12));
    EXPECT_EQ(domain["D"], Value(1.5));
    EXPECT_EQ(domain["E"], Value("1.2.3"));
    EXPECT_EQ(domain.count("F"), 0u);
    EXPECT_EQ(domain.size(), 5u);
}

}  // namespace
}  // namespace platform
