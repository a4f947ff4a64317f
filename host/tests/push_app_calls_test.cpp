// The push client's application calls through tesmar-sim against the push-service stand-in: tags in
// their merge window and without a player, the e-mail roads, focus tracking with the badge.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/tests/RoadFixture.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"
#include "testing/FullDisk.h"

namespace {

using platform::Value;
using namespace host_test;
namespace fs = std::filesystem;

constexpr const char* kPlayer = "5d0a3c9e-2f41-4b7a-9c63-8e1f0b2d4a57";

class PushAppCalls : public RoadFixture {
protected:
    PushAppCalls() : RoadFixture("push-app-calls") { onDevice_ = false; }

    // Seeds the device the runs share (so it shadows the fixture's path-only device()): the push client
    // registered this installation in an earlier launch, long ago.
    std::string device() { return deviceWithPlayer(kPlayer); }

    SimRun run(const std::string& script, const std::string& deviceRoot) {
        return runRoad(script, writeBundle(), {"--device-root", deviceRoot, "--clock", "manual"});
    }

    std::vector<Value> bodiesOf(const std::string& method, const std::string& path) const {
        std::vector<Value> out;
        for (const auto& r : push_->requestsTo(path))
            if (r.method == method) out.push_back(platform::json::read(r.body).valueOr(Value()));
        return out;
    }

    static std::vector<Value> results(const SimRun& run, const std::string& call) {
        std::vector<Value> out;
        for (const auto& e : simEvents(run))
            if (e["event"] == Value("app-call.result") && e["call"] == Value(call)) out.push_back(e);
        return out;
    }
};

const std::string kPlayerPath = std::string("players/") + kPlayer;

TEST_F(PushAppCalls, TagCallsWithinFiveSecondsGoOutAsOneRequest) {
    auto result = run("app-call sendTags {\"a\":\"1\"}\n"
                      "wait 3\n"
                      "app-call sendTags {\"a\":\"2\",\"b\":\"3\"}\n"
                      "wait 3\n"
                      "app-call deleteTags [\"c\"]\n"
                      "wait 4.9\n"
                      "app-call sendTags {\"x\":{\"nested\":1}}\n"
                      "wait 0.2\n"
                      "app-call getTags\n",
                      device());
    ASSERT_EQ(result.status, 0) << allOutput(result);
    std::vector<Value> tagPuts;
    for (const auto& b : bodiesOf("PUT", kPlayerPath))
        if (b.contains("tags")) tagPuts.push_back(b);
    ASSERT_EQ(tagPuts.size(), 1u) << allOutput(result);
    EXPECT_EQ(tagPuts[0]["tags"], Value::dictionary({{"a", "2"}, {"b", "3"}, {"c", ""}}));
    EXPECT_TRUE(tagPuts[0].contains("net_type"));
    // Every merged call hears the one outcome; the refused one hears nothing.
    for (const char* call : {"sendTags", "deleteTags"})
        for (const auto& r : results(result, call)) EXPECT_EQ(r["outcome"], Value("success")) << r;
    EXPECT_EQ(results(result, "sendTags").size(), 2u);
    EXPECT_EQ(results(result, "deleteTags").size(), 1u);
    auto got = results(result, "getTags");
    ASSERT_EQ(got.size(), 1u) << allOutput(result);
    EXPECT_EQ(got[0]["value"], Value::dictionary({{"a", "2"}, {"b", "3"}})) << "the service dropped the deleted key";
}

// The service refuses to create the player while a tag call waits for it: that call hears the refusal,
// and so does one made after it, with no player to send its tags to.
TEST_F(PushAppCalls, TagsHearAFailedFirstRegistration) {
    auto gate = tesmar_demo::Gate::make();
    push_->script("POST players", {tesmar_demo::Reply::json(R"({"errors":["no"]})", 400).heldBy(gate)});
    settle_ = {"--settle-ms", "150", "--settle-timeout", "2"};  // the launch stops waiting for the held answer
    int answered = 0;
    auto result = runRoad("app-call sendTags {\"a\":\"1\"}\nwait 0\n", writeBundle(),
                          {"--device-root", RoadFixture::device().string(), "--clock", "manual", "--echo"},
                          [&](const std::string& line) -> std::string {
                              if (line.find("\"event\":\"command\"") != std::string::npos &&
                                  line.find("wait 0") != std::string::npos)
                                  gate->open();  // the tag call is in
                              if (line.find("\"event\":\"app-call.result\"") == std::string::npos) return "";
                              return ++answered == 1 ? "app-call sendTags {\"b\":\"2\"}\n" : "quit\n";
                          });
    ASSERT_EQ(result.status, 0) << allOutput(result);
    auto created = bodiesOf("POST", "players");
    ASSERT_EQ(created.size(), 1u) << allOutput(result);
    EXPECT_FALSE(created[0].contains("tags")) << "given while the registration was out";
    auto sent = results(result, "sendTags");
    ASSERT_EQ(sent.size(), 2u) << allOutput(result);
    for (const auto& r : sent) {
        EXPECT_EQ(r["outcome"], Value("failure")) << r;
        EXPECT_EQ(r["error"]["code"], Value(400)) << r;
    }
}

// Typed on stdin, on the device's own clock: the merge window ends and the tags go out while the host waits
// for the next line, which only comes once the answer is printed.
TEST_F(PushAppCalls, TagsGoOutWhileStdinIsIdle) {
    bool answered = false;
    auto result = runRoad("app-call sendTags {\"a\":\"1\"}\n", writeBundle(), {"--device-root", device(), "--echo"},
                          [&](const std::string& line) -> std::string {
                              if (answered || line.find("\"event\":\"app-call.result\"") == std::string::npos)
                                  return "";
                              answered = true;
                              return "quit\n";
                          });
    ASSERT_EQ(result.status, 0) << allOutput(result);
    auto seen = simEvents(result);
    auto at = [&](const std::function<bool(const Value&)>& match) {
        return std::find_if(seen.begin(), seen.end(), match) - seen.begin();
    };
    auto sent = at([](const Value& e) { return e["event"] == Value("app-call.result"); });
    auto quit = at([](const Value& e) { return e["event"] == Value("command") && e["text"] == Value("quit"); });
    ASSERT_LT(sent, long(seen.size())) << allOutput(result);
    EXPECT_EQ(seen[sent]["outcome"], Value("success")) << allOutput(result);
    EXPECT_LT(sent, quit) << allOutput(result);
    std::vector<Value> tags;
    for (const auto& b : bodiesOf("PUT", kPlayerPath))
        if (b.contains("tags")) tags.push_back(b["tags"]);
    EXPECT_EQ(tags, std::vector<Value>{Value::dictionary({{"a", "1"}})}) << allOutput(result);
}

TEST_F(PushAppCalls, EmailIsCreatedLinkedUpdatedAndLoggedOut) {
    auto result = run("app-call setEmail {\"email\":\"not an address\"}\n"
                      "app-call setEmail {\"email\":\"ann@tesmar.example\",\"authHash\":\"h1\"}\n"
                      "app-call setEmail {\"email\":\"ann@tesmar.example\",\"authHash\":\"h1\"}\n"
                      "app-call setEmail {\"email\":\"bob@tesmar.example\",\"authHash\":\"h1\"}\n"
                      "app-call syncHashedEmail {\"email\":\"  Ann@Tesmar.example \"}\n"
                      "app-call logoutEmail\n"
                      "app-call logoutEmail\n",
                      device());
    ASSERT_EQ(result.status, 0) << allOutput(result);
    auto set = results(result, "setEmail");
    ASSERT_EQ(set.size(), 4u) << allOutput(result);
    EXPECT_EQ(set[0]["outcome"], Value("failure"));
    EXPECT_EQ(set[0]["error"]["info"]["error"], Value("Email is invalid"));
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(set[i]["outcome"], Value("success")) << set[i];

    auto created = bodiesOf("POST", "players");
    ASSERT_EQ(created.size(), 1u) << "the second call with the same address and hash sends nothing";
    EXPECT_EQ(created[0]["device_type"], Value(11));
    EXPECT_EQ(created[0]["identifier"], Value("ann@tesmar.example"));
    EXPECT_EQ(created[0]["device_player_id"], Value(kPlayer));
    EXPECT_EQ(created[0]["email_auth_hash"], Value("h1"));
    std::string emailPlayer = push_->createdPlayers().at(0);

    Value link;
    for (const auto& b : bodiesOf("PUT", kPlayerPath))
        if (b.contains("parent_player_id")) link = b;
    EXPECT_EQ(link["parent_player_id"], Value(emailPlayer)) << allOutput(result);
    EXPECT_EQ(link["email"], Value("ann@tesmar.example"));

    auto updates = bodiesOf("PUT", "players/" + emailPlayer);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0]["identifier"], Value("bob@tesmar.example"));

    Value hashed;
    for (const auto& b : bodiesOf("PUT", kPlayerPath))
        if (b.contains("em_m")) hashed = b;
    EXPECT_TRUE(hashed["em_m"].isString() && hashed["em_s"].isString()) << allOutput(result);
    for (const auto& r : push_->requests()) EXPECT_EQ(r.body.find("Ann@"), std::string::npos) << "the address itself";

    auto logout = bodiesOf("POST", kPlayerPath + "/email_logout");
    ASSERT_EQ(logout.size(), 1u);
    EXPECT_EQ(logout[0]["parent_player_id"], Value(emailPlayer));
    auto out = results(result, "logoutEmail");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]["outcome"], Value("success"));
    EXPECT_EQ(out[1]["outcome"], Value("failure")) << "logged out already";
}

// The second call comes after a restart: the link that failed is still owed.
TEST_F(PushAppCalls, AFailedLinkKeepsTheEmailPlayerAndTheNextCallOnlyLinksAgain) {
    auto linksRefused = std::make_shared<std::atomic<int>>(0);
    push_->script("PUT players/:id", {tesmar_demo::Reply::dynamic([linksRefused](const auto& request, auto& reply) {
                      bool link = request.body.find("parent_player_id") != std::string::npos;
                      reply.body = R"({"success":true})";
                      if (link && linksRefused->fetch_add(1) == 0) {
                          reply.status = 400;
                          reply.body = R"({"errors":["no"]})";
                      }
                  })});
    const std::string root = device();
    std::vector<Value> set;
    for (int launch = 0; launch < 2; ++launch) {
        auto result = run("app-call setEmail {\"email\":\"ann@tesmar.example\"}\n", root);
        ASSERT_EQ(result.status, 0) << allOutput(result);
        auto got = results(result, "setEmail");
        ASSERT_EQ(got.size(), 1u) << allOutput(result);
        set.push_back(got[0]);
    }
    EXPECT_EQ(set[0]["outcome"], Value("failure"));
    EXPECT_EQ(set[1]["outcome"], Value("success"));
    EXPECT_EQ(bodiesOf("POST", "players").size(), 1u) << "one e-mail player";
    std::vector<Value> links;
    for (const auto& b : bodiesOf("PUT", kPlayerPath))
        if (b.contains("parent_player_id")) links.push_back(b["parent_player_id"]);
    EXPECT_EQ(links, std::vector<Value>(2, Value(push_->createdPlayers().at(0))));
}

TEST_F(PushAppCalls, ForegroundTimeIsReportedAndAReturnOpensASessionAndClearsTheBadge) {
    auto result = run("wait 40\n"
                      "background\n"
                      "push-receive "
                      "{\"aps\":{\"alert\":\"Lunch\",\"badge\":3},\"custom\":{\"i\":\"0b7e2c1a-5d4f-4e3a-"
                      "8b9c-1a2b3c4d5e6f\"}}\n"
                      "wait 31\n"
                      "foreground\n",
                      device());
    ASSERT_EQ(result.status, 0) << allOutput(result);
    auto focus = bodiesOf("POST", kPlayerPath + "/on_focus");
    ASSERT_EQ(focus.size(), 1u) << allOutput(result);
    EXPECT_EQ(focus[0]["state"], Value("ping"));
    EXPECT_EQ(focus[0]["type"], Value(1));
    EXPECT_EQ(focus[0]["active_time"], Value(40.5));
    EXPECT_EQ(bodiesOf("POST", kPlayerPath + "/on_session").size(), 2u) << "at launch and after 31 s away";

    std::vector<Value> badges;
    for (const auto& e : simEvents(result))
        if (e["event"] == Value("badge")) badges.push_back(e["value"]);
    EXPECT_EQ(badges, (std::vector<Value>{Value(3), Value(1), Value(0)})) << allOutput(result);
    size_t badgePuts = 0;
    for (const auto& b : bodiesOf("PUT", kPlayerPath))
        if (b["badgeCount"] == Value(0)) ++badgePuts;
    EXPECT_EQ(badgePuts, 1u);
}

TEST_F(PushAppCalls, TheBadgeOutlivesTheRunAndStartUpClearsIt) {
    std::string root = device();
    auto first = run("background\npush-receive {\"aps\":{\"alert\":\"Lunch\",\"badge\":2}}\n", root);
    ASSERT_EQ(first.status, 0) << allOutput(first);
    std::ifstream stored(fs::path(root) / "Library/Device/IconBadge");
    std::string text;
    stored >> text;
    EXPECT_EQ(text, "2");

    auto second = run("", root);
    ASSERT_EQ(second.status, 0) << allOutput(second);
    std::vector<Value> badges;
    for (const auto& e : simEvents(second))
        if (e["event"] == Value("badge")) badges.push_back(e["value"]);
    EXPECT_EQ(badges, (std::vector<Value>{Value(1), Value(0)})) << allOutput(second);
}

// A push that arrives with the app in front is received, not opened: no open report and the user's
// screen stays; the user's tap opens it.
TEST_F(PushAppCalls, InFrontABadgeOnlyPushChangesNoScreenUntilTapped) {
    const std::string id = "6c1f9e2d-3b4a-4c5d-8e7f-9a0b1c2d3e4f";
    const std::string target = std::string(Tesmar::Strings::Endpoint::baseUrl) + "/news";
    const std::string push =
        R"({"aps":{"badge":2},"custom":{"i":")" + id + R"(","a":{"targetUrl":")" + target + R"("}}})";
    auto result = run("push-receive " + push + "\nwait 1\nprefs standard VD_LAST_MESSAGE_OPENED_\npush-tap " + push +
                          "\nwait 1\n",
                      device());
    ASSERT_EQ(result.status, 0) << allOutput(result);
    auto seen = simEvents(result);
    size_t tapAt = 0;  // the prefs line, printed between the arrival and the tap
    while (tapAt < seen.size() && seen[tapAt]["event"] != Value("prefs")) ++tapAt;
    ASSERT_LT(tapAt, seen.size()) << allOutput(result);
    EXPECT_EQ(seen[tapAt]["value"], Value()) << "no open recorded before the tap";
    std::vector<size_t> pages;  // root screens on the target page
    for (size_t i = 0; i < seen.size(); ++i)
        if (seen[i]["event"] == Value("screen.root") && seen[i]["url"] == Value(target)) pages.push_back(i);
    ASSERT_EQ(pages.size(), 1u) << allOutput(result);
    EXPECT_GT(pages[0], tapAt) << "only the tap shows the target";
    EXPECT_EQ(push_->requestsTo("notifications/" + id).size(), 1u) << "one open report, for the tap";
}

// The user's answer to the notification prompt is the device's: a relaunch asks nothing, and its session
// tells the push service what the user said (-2: the user's own switch is off).
TEST_F(PushAppCalls, TheNotificationAnswerOutlivesTheRun) {
    struct Case {
        const char* name;
        std::string firstScript;
        Value types;
    } cases[] = {
        {"subscribed", "", Value(15)},
        {"subscription switched off", "app-call setSubscription {\"enable\":false}\n", Value(-2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(RoadFixture::device());
        std::string root = device();
        auto first = run(c.firstScript, root);
        ASSERT_EQ(first.status, 0) << allOutput(first);
        EXPECT_EQ(eventsNamed(simEvents(first), "notification.prompt").size(), 1u) << allOutput(first);

        // The relaunch comes later than the 30 s within which a launch opens no new session.
        fs::path prefs = fs::path(root) / "Library/Preferences" / (std::string(kBundleId) + ".plist");
        Value stored = platform::plist::readFile(prefs.string()).valueOr(Value::dictionary());
        stored.set("VD_LAST_CLOSED_TIME", 0.0);
        ASSERT_TRUE(platform::plist::writeFile(stored, prefs.string()).ok());
        push_->server().clearRequests();
        auto second = run("wait 31\n", root);  // the launch's session waits for the push token's answer
        ASSERT_EQ(second.status, 0) << allOutput(second);
        EXPECT_EQ(firstEvent(simEvents(second), "notification.prompt"), nullptr) << allOutput(second);
        auto sessions = bodiesOf("POST", kPlayerPath + "/on_session");
        ASSERT_EQ(sessions.size(), 1u) << allOutput(second);
        EXPECT_EQ(sessions[0]["notification_types"], c.types);
        for (const auto& b : bodiesOf("PUT", kPlayerPath))
            EXPECT_EQ(b.contains("notification_types") ? b["notification_types"] : c.types, c.types) << "no correction";
    }
}

// The device on a full disk: the launch's badge clearing and the user's subscription switch are refused,
// said and kept; once space comes back while the app runs, quitting puts them on disk as a roomy disk
// would have them.
TEST_F(PushAppCalls, AFullDiskLosesNothingOnceSpaceComesBackWhileTheAppRuns) {
    const fs::path root = RoadFixture::device();
    fs::create_directories(root);
    if (::mount("tmpfs", root.c_str(), "tmpfs", 0, "size=16m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{root.string()};
    const std::string deviceRoot = device();
    const std::string group = "group.com.tesmar.intranet.vezeduduz";
    auto first = run("background\npush-receive {\"aps\":{\"alert\":\"Lunch\",\"badge\":2}}\n", deviceRoot);
    ASSERT_EQ(first.status, 0) << allOutput(first);
    ASSERT_TRUE(platform::plist::writeFile(Value::dictionary({{"vezeduduzBadgeCount", 2}}),
                                           (root / "Library/Preferences" / (group + ".plist")).string()));

    const fs::path filler = root / "filler";
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    std::string chunk(64 * 1024, 'x');
    for (size_t size = chunk.size(); size > 0; size /= 2)
        while (::write(fd, chunk.data(), size) == ssize_t(size)) {
        }
    ::close(fd);

    auto result =
        runRoad("app-call setSubscription {\"enable\":false}\nprefs standard VEZEDUDUZ_SUBSCRIPTION\n", writeBundle(),
                {"--device-root", deviceRoot, "--clock", "manual"}, [&](const std::string& line) -> std::string {
                    if (line.find("\"event\":\"prefs\"") == std::string::npos) return "";
                    fs::remove(filler);
                    return "quit\n";
                });
    ASSERT_EQ(result.status, 0) << allOutput(result);
    auto seen = simEvents(result);
    std::set<std::string> failed, recovered;
    for (const auto& e : eventsNamed(seen, "storage.failed")) {
        EXPECT_EQ(e["error"], Value("No space left on device")) << e;
        EXPECT_TRUE(failed.insert(e["path"].stringOr("")).second) << "said twice: " << e;
    }
    for (const auto& e : eventsNamed(seen, "storage.recovered")) recovered.insert(e["path"].stringOr(""));
    const std::string standardFile = std::string("Library/Preferences/") + kBundleId + ".plist";
    const std::string groupFile = "Library/Preferences/" + group + ".plist";
    for (const auto& path : {standardFile, groupFile, std::string("Library/Device/IconBadge")})
        EXPECT_TRUE(failed.count(path) && recovered.count(path)) << path << "\n" << allOutput(result);
    auto prefs = eventsNamed(seen, "prefs");
    ASSERT_EQ(prefs.size(), 1u) << allOutput(result);
    EXPECT_EQ(prefs[0]["value"], Value("no"));
    EXPECT_EQ(prefs[0]["unsaved"], Value::array({"VEZEDUDUZ_SUBSCRIPTION"}));

    EXPECT_EQ((*platform::plist::readFile((root / standardFile).string()))["VEZEDUDUZ_SUBSCRIPTION"], Value("no"));
    EXPECT_EQ((*platform::plist::readFile((root / groupFile).string()))["vezeduduzBadgeCount"], Value(0));
    std::string badge;
    std::ifstream(root / "Library/Device/IconBadge") >> badge;
    EXPECT_EQ(badge, "0");
    for (const auto& entry : fs::recursive_directory_iterator(root / "Library"))
        EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
}

// A disk full to the end of the run: what never reached it (the first launch's identifiers, the user's
// subscription switch) is said at exit, each file once with the preferences' keys, and the run ends with
// a status of its own instead of 0.
TEST_F(PushAppCalls, ADiskFullToTheEndIsSaidAtExitWithItsOwnStatus) {
    const std::string deviceRoot = device();
    // The device's own Bundle folder as the bundle: a run copies nothing into a device that has it.
    const fs::path bundle = fs::path(deviceRoot) / "Bundle";
    fs::copy(writeBundle(), bundle, fs::copy_options::recursive);
    SimRun result;
    {
        tesmar_testing::FullDisk full;
        result = runRoad("app-call setSubscription {\"enable\":false}\nprefs standard VEZEDUDUZ_SUBSCRIPTION\n",
                         bundle.string(), {"--device-root", deviceRoot, "--clock", "manual"},
                         [](const std::string& line) -> std::string {
                             return line.find("\"event\":\"prefs\"") == std::string::npos ? "" : "quit\n";
                         });
    }
    EXPECT_EQ(result.status, 4) << allOutput(result);
    auto seen = simEvents(result);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), Value::dictionary({{"event", "exit"}, {"code", 4}}));
    std::set<std::string> failed;
    for (const auto& e : eventsNamed(seen, "storage.failed")) failed.insert(e["path"].stringOr(""));
    std::map<std::string, Value> unsaved;
    for (const auto& e : eventsNamed(seen, "storage.unsaved")) {
        EXPECT_TRUE(failed.count(e["path"].stringOr(""))) << "never said to have failed: " << e;
        EXPECT_TRUE(unsaved.emplace(e["path"].stringOr(""), e["keys"]).second) << "said twice: " << e;
    }
    const std::string standardFile = std::string("Library/Preferences/") + kBundleId + ".plist";
    ASSERT_TRUE(unsaved.count(standardFile)) << allOutput(result);
    EXPECT_TRUE(unsaved[standardFile].asArray() &&
                std::count(unsaved[standardFile].asArray()->begin(), unsaved[standardFile].asArray()->end(),
                           Value("VEZEDUDUZ_SUBSCRIPTION")))
        << unsaved[standardFile];
    for (const char* identifiers : {"Library/Application Support/io.verira/installation-id",
                                    "Library/Application Support/Vodezu/ZODOzi/ZIDEDOVA_UNIQUE_INSTALL"})
        EXPECT_TRUE(unsaved.count(identifiers) && unsaved[identifiers].isNull()) << identifiers << "\n"
                                                                                 << allOutput(result);
}

}  // namespace
