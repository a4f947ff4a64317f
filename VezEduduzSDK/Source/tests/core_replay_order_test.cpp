// What a registration's answer sets going, in order: every request the client sends (as it sends it,
// with method, path and body keys as the service saw them) and every caller's block, on one timeline.
#include <set>
#include <sstream>

#include "VezEduduzSDK/Source/VezEduduzLocation.h"
#include "VezEduduzSDK/Source/tests/core_TestSupport.h"
#include "platform/corelocation/CoreLocation.h"
#include "platform/urlsession/URLSession.h"

namespace core_test {
namespace {

namespace cl = platform::corelocation;
using tesmar_demo::Gate;
using tesmar_testing::Reply;

struct Row {
    const char* name;
    std::vector<int> createStatuses;  // one registration per status
};

class ReplayOrderTest : public CoreTest, public ::testing::WithParamInterface<Row> {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        PlatformConfig::update([](PlatformSettings& s) { s.optionalFrameworks.insert(cl::kFrameworkName); });
        cl::registerClasses();
        // The client logs each request on the thread that sends it, before it leaves: the log is the
        // sending order, whichever answer comes first.
        timeline_ = DeviceEvents::addListener([this](const std::string& name, const Value& fields) {
            if (name != "console") return;
            const std::string text = fields["text"].stringOr("");
            const std::string urlMark = " with URL: ", paramsMark = ", with parameters: ";
            auto url = text.find(urlMark), params = text.find(paramsMark);
            if (text.find("HTTP Request (") == std::string::npos || url == std::string::npos ||
                params == std::string::npos)
                return;
            std::string address = text.substr(url + urlMark.size(), params - url - urlMark.size());
            auto api = address.find("/api/v1/");
            auto body = json::read(text.substr(params + paramsMark.size()));
            std::lock_guard lock(timelineMutex_);
            steps_.push_back({true, api == std::string::npos ? address : address.substr(api + 8),
                              body.ok() ? body.value() : Value()});
        });
    }

    struct Step {
        bool request = false;
        std::string text;  // the path for a request, the outcome for a block
        Value body;
    };
    void note(const std::string& outcome) {
        std::lock_guard lock(timelineMutex_);
        steps_.push_back({false, outcome, Value()});
    }
    // "METHOD path key,key,..." per request (the method as the service received that path and body),
    // the outcome text per block.
    std::vector<std::string> timeline() {
        std::vector<Step> steps;
        {
            std::lock_guard lock(timelineMutex_);
            steps = steps_;
        }
        std::vector<std::string> out;
        for (const auto& s : steps) {
            if (!s.request) {
                out.push_back(s.text);
                continue;
            }
            // Parameters of a GET ride in the query: the service sees no body.
            auto query = s.text.find('?');
            std::string path = s.text.substr(0, query);
            std::string method = "?";
            for (const auto& r : service.requestsTo(path))
                if (query != std::string::npos ? r.body.empty() : bodyOf(r) == s.body) method = r.method;
            std::ostringstream line;
            line << method << " " << path;
            std::string sep = " ";
            if (const auto* d = s.body.asDictionary(); d && query == std::string::npos)
                for (const auto& [k, v] : *d) {
                    line << sep << k;
                    sep = ",";
                }
            out.push_back(line.str());
        }
        return out;
    }

    void settle() {
        auto& loop = MainLoop::shared();
        for (int i = 0; i < 3; ++i) {
            loop.runUntilIdle();
            loop.runUntil([] { return platform::URLSession::tasksInFlight() == 0; }, 10);
        }
        loop.runUntilIdle();
    }

    // A registration whose answer the service holds back until a newer location fix has arrived, so
    // the fix that rode in the body is not the last one and the answer has one left to send.
    void registerWhileANewerFixArrives(const std::shared_ptr<Gate>& gate, double latitude,
                                       const std::function<void()>& meanwhile) {
        size_t before = service.requestsTo("players").size();
        VezEduduz::registerUser();
        ASSERT_TRUE(waitFor([&] { return service.requestsTo("players").size() > before; }));
        meanwhile();
        // The client's manager stopped after its first fix: the newer one comes through a second
        // manager talking to the client's location delegate, as a later start would.
        cl::setPosition({latitude, 2, 3, 4});
        objc::Class* managerClass = objc::lookUpClass("CLLocationManager");
        objc::Class* delegateClass = objc::lookUpClass("VezEduduzLocation");
        ASSERT_TRUE(managerClass && delegateClass);
        auto manager =
            objc::send<ObjectHandle>(objc::send<ObjectHandle>(managerClass, objc::sel("alloc")), objc::sel("init"));
        auto delegate = std::make_shared<objc::Object>(delegateClass);
        objc::send<void, ObjectHandle>(manager, objc::sel("setDelegate:"), delegate);
        objc::send<void>(manager, objc::sel("startUpdatingLocation"));
        ASSERT_TRUE(waitFor([&] {
            auto fix = VezEduduzLocation::lastLocation();
            return fix && fix->record.latitude == latitude;
        }));
        gate->open();
        ASSERT_TRUE(waitFor([] { return !VezEduduz::registrationInFlight(); }));
        settle();
    }

    DeviceEvents::Token timeline_;
    std::mutex timelineMutex_;
    std::vector<Step> steps_;
};

// The registration body's keys (the device facts, "sdk_type" and "ios_bundle" while there is no
// player, the tags and the fix that rode along), comma-joined in the order the body sorts them.
std::string registrationKeys(bool withIdentifier, bool withTags) {
    std::set<std::string> keys = {
        "ad_id",    "app_id",   "device_model", "device_os",    "device_type", "game_version", "ios_bundle",
        "language", "lat",      "loc_acc",      "loc_acc_vert", "long",        "net_type",     "notification_types",
        "sdk",      "sdk_type", "tags",         "timezone"};
    if (withIdentifier) keys.insert("identifier");  // the push token, push player only
    if (!withTags) keys.erase("tags");
    std::string out;
    for (const auto& k : keys) out += (out.empty() ? "" : ",") + k;
    return out;
}

// Registration success replays, in this order: the e-mail player's id from the answer, the parked
// setEmail (which therefore updates that player), the tag callbacks, the tags given meanwhile (5 s
// later), the location, the parked hashed e-mail, the parked getTags. A failure replays none of them
// and leaves them waiting for the next success, except the tags: without a player nothing would send
// or read them, so their callers, those of the tags given while it was out and the parked getTags hear
// the failure.
TEST_P(ReplayOrderTest, EverythingThatWaitedForThePlayerGoesInOrder) {
    const Row& row = GetParam();
    const bool failedFirst = row.createStatuses.size() > 1;
    const std::string create = "POST players " + registrationKeys(true, true);
    const std::string emailSession = "POST players/e1/on_session " + registrationKeys(false, true);
    // Parked setEmail: the answer's e-mail player, updated. The location goes to both players.
    std::vector<std::string> replays = {
        "PUT players/e2 app_id,identifier",
        "ok tags",
        "ok token",  // the token is the one registered: no update to send
        "PUT players/e2 app_id,lat,loc_acc,loc_acc_vert,loc_bg,long,net_type",
        "PUT players/p7 app_id,lat,loc_acc,loc_acc_vert,loc_bg,long,net_type",
        "PUT players/p7 app_id,em_m,em_s,net_type",  // parked hashed e-mail
        "GET players/p7",                            // parked getTags
    };
    std::vector<std::string> expected;
    if (failedFirst) {  // the failed one: only the tag calls hear, its own, the late ones and the read
        expected = {emailSession,
                    create,
                    "fail tags",
                    "fail late",
                    "fail getTags",
                    "POST players/e1/on_session " + registrationKeys(false, false),
                    "POST players " + registrationKeys(true, false)};
        replays.erase(replays.begin() + 1);
        replays.pop_back();
    } else {
        expected = {emailSession, create};
    }
    expected.insert(expected.end(), replays.begin(), replays.end());
    {
        writeInfo(Value::dictionary({{"NSLocationWhenInUseUsageDescription", "nearby offices"}}));
        cl::setAuthorizationStatus(cl::AuthorizationStatus::AuthorizedWhenInUse);
        cl::setPosition({40, 1, 2, 3});
        launchApplication();
        ASSERT_TRUE(VezEduduz::initAppId(Value(kAppId), Value::dictionary()));
        VezEduduzLocation::internalGetLocation(false);
        ASSERT_TRUE(waitFor([] { return VezEduduzLocation::lastLocation().has_value(); }));
        // An e-mail player from before, without a push player yet: the session answer renames it.
        auto email = VezEduduz::currentEmailSubscriptionState();
        email->setEmailUserId("e1");
        email->persist();
        service.script("POST players/:id/on_session", {Reply::json(R"({"success":true,"id":"e2"})")});
        std::vector<std::shared_ptr<Gate>> gates;
        std::vector<Reply> creates;
        for (int status : row.createStatuses) {
            gates.push_back(Gate::make());
            creates.push_back(
                Reply::json(status == 200 ? R"({"success":true,"id":"p7"})" : R"({"errors":["no"]})", status)
                    .heldBy(gates.back()));
        }
        service.script("POST players", creates);

        VezEduduz::sendTags(
            Value::dictionary({{"a", "1"}}), [this](const Value&) { note("ok tags"); },
            [this](const Error&) { note("fail tags"); });
        VezEduduz::setEmail(
            "bob@tesmar.example", std::nullopt, [this] { note("ok email"); },
            [this](const Error&) { note("fail email"); });
        VezEduduz::syncHashedEmail("ann@tesmar.example");
        // A push token before the player: its blocks wait too (its registration is deferred by 30 s).
        VezEduduz::updateDeviceToken(
            "0a1b2c", [this](const Value&) { note("ok token"); }, [this](const Error&) { note("fail token"); });
        VezEduduz::getTags([this](const Value&) { note("ok getTags"); },
                           [this](const Error&) { note("fail getTags"); });
        MainLoop::shared().advance(6);
        settle();
        ASSERT_TRUE(timeline().empty()) << "everything waits for the player";

        for (size_t i = 0; i < gates.size(); ++i) {
            registerWhileANewerFixArrives(gates[i], 41 + static_cast<double>(i), [&] {
                if (i == 0)  // given while the first registration is out
                    VezEduduz::sendTags(
                        Value::dictionary({{"late", "1"}}), [this](const Value&) { note("ok late"); },
                        [this](const Error&) { note("fail late"); });
            });
            if (i + 1 < gates.size()) {
                EXPECT_TRUE(VezEduduz::isHighPriorityCall());
                EXPECT_FALSE(VezEduduz::mUserId());
            }
        }
        ASSERT_EQ(VezEduduz::mUserId(), "p7");
        auto seen = timeline();
        // The blocks of the e-mail and getTags requests hear when their answers come, in either order.
        std::vector<std::string> answers;
        std::erase_if(seen, [&](const std::string& s) {
            bool answer = s == "ok email" || s == "ok getTags";
            if (answer) answers.push_back(s);
            return answer;
        });
        EXPECT_EQ(seen, expected);
        std::set<std::string> expectedAnswers = {"ok email", "ok getTags"};
        if (failedFirst) expectedAnswers.erase("ok getTags");
        EXPECT_EQ(std::set<std::string>(answers.begin(), answers.end()), expectedAnswers);
        EXPECT_EQ(store()->stringForKey("VD_EMAIL_PLAYER_ID"), "e2");

        // The tags given while the registration was out: 5 s after its success, unless it failed.
        MainLoop::shared().advance(4.9);
        settle();
        EXPECT_EQ(timeline().size(), seen.size() + answers.size());
        MainLoop::shared().advance(0.2);
        settle();
        auto after = timeline();
        if (failedFirst) {
            EXPECT_EQ(after.size(), seen.size() + answers.size());
        } else {
            std::vector<std::string> tail(after.begin() + static_cast<std::ptrdiff_t>(seen.size() + answers.size()),
                                          after.end());
            EXPECT_EQ(tail, (std::vector<std::string>{"PUT players/e2 app_id,net_type,tags",
                                                      "PUT players/p7 app_id,net_type,tags", "ok late"}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Registrations, ReplayOrderTest,
                         ::testing::Values(Row{"success", {200}}, Row{"failure_then_success", {400, 200}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace core_test
