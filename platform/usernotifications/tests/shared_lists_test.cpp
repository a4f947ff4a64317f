// The centre's pending and delivered lists belong to the device: two centres (two processes of one
// device, or a process after a relaunch) see one set of lists, and concurrent writers lose nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/foundation/PendingWrites.h"
#include "platform/uikit/tests/UIKitTestSupport.h"
#include "platform/usernotifications/UserNotificationCenter.h"
#include "testing/SpecialFiles.h"

namespace uikit_test {
namespace {

using namespace platform::usernotifications;

class SharedListsTest : public UIKitTest {
protected:
    void SetUp() override {
        UIKitTest::SetUp();
        PlatformConfig::update([](PlatformSettings& s) { s.systemVersion = {17, 0, 0}; });
        UserNotificationCenter::resetCurrent();
        platform::usernotifications::registerClasses();
    }
    void TearDown() override {
        UserNotificationCenter::resetCurrent();
        UIKitTest::TearDown();
    }
    // Another process's centre on the same device.
    static std::shared_ptr<UserNotificationCenter> otherCentre() {
        return std::make_shared<UserNotificationCenter>(objc::lookUpClass("UNUserNotificationCenter"));
    }
    static Notification shown(const std::string& id, Value userInfo = Value::dictionary()) {
        NotificationRequest r;
        r.identifier = id;
        r.content.title = "t " + id;
        r.content.userInfo = std::move(userInfo);
        return Notification{Date::fromTimeIntervalSince1970(1'700'000'000), r};
    }
    static std::vector<std::string> ids(const std::vector<Notification>& list) {
        std::vector<std::string> out;
        for (const auto& n : list) out.push_back(n.request.identifier);
        return out;
    }
};

TEST_F(SharedListsTest, OneCentresChangesAreThereForTheOther) {
    auto app = otherCentre();
    auto extension = otherCentre();

    // Pending: added in one, seen and removed in the other; the first one's trigger then finds nothing.
    NotificationRequest later{"later", {}, NotificationTrigger::after(60)};
    later.content.title = "in a minute";
    later.content.badge = 3;
    later.content.sound = "default";
    later.content.categoryIdentifier = "__dynamic__";
    later.content.userInfo = Value::dictionary({{"custom", Value::dictionary({{"i", "n1"}, {"gone", Value()}})}});
    app->addNotificationRequest(later);
    auto seen = extension->pendingNotificationRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].identifier, "later");
    EXPECT_EQ(seen[0].content.title, "in a minute");
    EXPECT_EQ(seen[0].content.badge, 3);
    EXPECT_EQ(seen[0].content.sound, "default");
    EXPECT_EQ(seen[0].content.categoryIdentifier, "__dynamic__");
    EXPECT_EQ(seen[0].content.userInfo, later.content.userInfo) << "a null in the payload survives";
    ASSERT_TRUE(seen[0].trigger);
    EXPECT_DOUBLE_EQ(seen[0].trigger->timeInterval, 60);
    extension->removeAllPendingNotificationRequests();
    EXPECT_TRUE(app->pendingNotificationRequests().empty());
    dispatch::MainLoop::shared().advance(61);
    EXPECT_TRUE(eventsNamed("notification.shown").empty()) << "removed elsewhere: nothing fires";

    // Delivered: recorded in one, read and taken in the other; user info that is no JSON is kept too.
    Value binary = Value::dictionary({{"blob", Value(Bytes{1, 2, 3})}});
    app->recordDelivered(shown("a"));
    extension->recordDelivered(shown("b", binary));
    EXPECT_EQ(ids(app->deliveredNotifications()), (std::vector<std::string>{"a", "b"}));
    auto taken = app->takeDelivered(binary);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->request.identifier, "b");
    EXPECT_DOUBLE_EQ(taken->date.timeIntervalSince1970(), 1'700'000'000);
    EXPECT_EQ(ids(extension->deliveredNotifications()), (std::vector<std::string>{"a"}));

    // A relaunch (a new centre of the same device) finds the lists as they were.
    UserNotificationCenter::resetCurrent();
    EXPECT_EQ(ids(UserNotificationCenter::current()->deliveredNotifications()), (std::vector<std::string>{"a"}));
}

// Lists the disk refused stay this process's newer lists (the next change builds on them, not on the file)
// and land with the flush once there is room; a killed writer's temporary goes at first use.
TEST_F(SharedListsTest, ListsTheDiskRefusedAreKeptAndLandWithTheFlush) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(device.path()) / "Library/UserNotifications";
    fs::create_directories(folder / "notifications.plist" / "blocker");
    std::ofstream(folder / ".notifications.plist.tmp-4242-0-123456") << "half";
    auto app = otherCentre();
    app->recordDelivered(shown("a"));
    app->recordDelivered(shown("b"));
    EXPECT_FALSE(fs::exists(folder / ".notifications.plist.tmp-4242-0-123456"));
    EXPECT_EQ(eventsNamed("storage.failed").size(), 1u);
    EXPECT_EQ(ids(app->deliveredNotifications()), (std::vector<std::string>{"a", "b"}));

    fs::remove_all(folder / "notifications.plist");
    PendingWrites::flushAll();
    EXPECT_EQ(eventsNamed("storage.recovered").size(), 1u);
    EXPECT_EQ(ids(otherCentre()->deliveredNotifications()), (std::vector<std::string>{"a", "b"}));
}

// A damaged store (cut short, random bytes, the wrong shape) is set aside under a name of its own and said;
// the lists start afresh, and the next change writes a whole file again.
TEST_F(SharedListsTest, ADamagedStoreIsSetAsideAndSaid) {
    namespace fs = std::filesystem;
    const fs::path file = fs::path(device.path()) / "Library/UserNotifications/notifications.plist";
    otherCentre()->recordDelivered(shown("a"));
    std::stringstream whole;
    whole << std::ifstream(file, std::ios::binary).rdbuf();
    const std::string plistHead = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0">)";
    struct Case {
        const char* label;
        std::string contents;
    } cases[] = {
        {"cut short", whole.str().substr(0, whole.str().size() / 2)},
        {"random bytes", std::string("\x93\0\xffrandom", 9)},
        {"an array", plistHead + "<array/></plist>"},
        {"lists that are not lists", plistHead + "<dict><key>pending</key><string>x</string><key>delivered</key>"
                                                 "<array/></dict></plist>"},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.contents;
        EXPECT_TRUE(otherCentre()->deliveredNotifications().empty());
        const std::string copy =
            "Library/UserNotifications/notifications.plist.corrupt" + (number ? "." + std::to_string(number) : "");
        ++number;
        ASSERT_EQ(eventsNamed("storage.corrupt").size(), size_t(number));
        EXPECT_EQ(eventsNamed("storage.corrupt").back().fields,
                  Value::dictionary({{"path", "Library/UserNotifications/notifications.plist"}, {"copy", copy}}));
        std::stringstream kept;
        kept << std::ifstream(fs::path(device.path()) / copy, std::ios::binary).rdbuf();
        EXPECT_EQ(kept.str(), c.contents);
        otherCentre()->recordDelivered(shown("b"));
        EXPECT_EQ(ids(otherCentre()->deliveredNotifications()), std::vector<std::string>{"b"});
    }
}

// A FIFO or a socket where the store should be holds no lists either: it is set aside and said as a
// damaged store is, without waiting on it, and the next change writes a whole file in its place.
TEST_F(SharedListsTest, AFifoOrASocketInPlaceOfTheStoreIsSetAsideToo) {
    const std::string dir = device.path() + "/Library/UserNotifications", file = dir + "/notifications.plist";
    std::filesystem::create_directories(dir);
    int number = 0;
    for (bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a socket");
        ASSERT_TRUE(fifo ? tesmar_testing::makeFifo(file) : tesmar_testing::makeSocketFile(file));
        std::vector<std::string> seen = {"?"};
        const bool inTime =
            tesmar_testing::finishesWithoutWaiting(file, [&] { seen = ids(otherCentre()->deliveredNotifications()); });
        EXPECT_TRUE(inTime) << "waited on it";
        EXPECT_TRUE(seen.empty());
        const std::string copy =
            "Library/UserNotifications/notifications.plist.corrupt" + (number ? "." + std::to_string(number) : "");
        ASSERT_EQ(eventsNamed("storage.corrupt").size(), size_t(++number));
        EXPECT_EQ(eventsNamed("storage.corrupt").back().fields,
                  Value::dictionary({{"path", "Library/UserNotifications/notifications.plist"}, {"copy", copy}}));
        otherCentre()->recordDelivered(shown("b"));
        EXPECT_EQ(ids(otherCentre()->deliveredNotifications()), std::vector<std::string>{"b"});
        std::filesystem::remove(file);
    }
}

TEST_F(SharedListsTest, ConcurrentWritersInTwoProcessesLoseNothing) {
    constexpr int kEach = 30;
    auto record = [](const std::string& who) {
        auto centre = otherCentre();
        for (int i = 0; i < kEach; ++i) centre->recordDelivered(shown(who + std::to_string(i)));
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        record("child-");
        _exit(0);
    }
    // Two threads here as well, each with its own centre: the lock file serialises them too.
    std::thread second([&] { record("thread-"); });
    record("parent-");
    second.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    auto all = ids(otherCentre()->deliveredNotifications());
    EXPECT_EQ(all.size(), 3u * kEach);
    std::set<std::string> unique(all.begin(), all.end());
    EXPECT_EQ(unique.size(), all.size());
}

TEST_F(SharedListsTest, TheDeviceKeepsTheNewestDeliveredOnly) {
    auto centre = UserNotificationCenter::current();
    for (size_t i = 0; i < UserNotificationCenter::kMaxDeliveredNotifications + 5; ++i)
        centre->recordDelivered(shown("n" + std::to_string(i)));
    auto kept = ids(centre->deliveredNotifications());
    ASSERT_EQ(kept.size(), UserNotificationCenter::kMaxDeliveredNotifications);
    EXPECT_EQ(kept.front(), "n5");
    EXPECT_EQ(kept.back(), "n104");
}

}  // namespace
}  // namespace uikit_test
