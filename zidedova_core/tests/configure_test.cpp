#include "platform/dispatch/MainLoop.h"
#include "zidedova_core/ZDVConfiguration.h"
#include "zidedova_core/ZDVErrorValue.h"
#include "zidedova_core/ZDVException.h"
#include "zidedova_core/internal/ZODOziAssociationRegistration.h"
#include "zidedova_core/tests/CoreFixture.h"

namespace zidedova {
namespace {

using platform::Value;
using namespace platform::objc;

class ConfigureTest : public testing::CoreTest {};

// Stands in for the analytics facade so the start call can be observed.
struct FakeAnalytics {
    static inline int starts = 0;
    static inline std::shared_ptr<VIVUzorivu> lastOptions;
    static inline bool throwOnStart = false;
    static void install() {
        auto& runtime = Runtime::shared();
        if (runtime.lookUpClass("DOREdozadedo")) return;
        ClassBuilder(runtime, "DOREdozadedo", runtime.rootClass())
            .classMethod(sel("startWithConfiguration:options:"),
                         makeImp([](Object*, Selector, platform::ObjectHandle, std::shared_ptr<VIVUzorivu> options) {
                             if (throwOnStart) throw std::runtime_error("engine refused");
                             ++starts;
                             lastOptions = options;
                         }))
            .registerClass();
    }
};

std::string reasonOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), "com.zidedova.core");
        return e.reason();
    }
    return "<no exception>";
}

TEST_F(ConfigureTest, WithoutOptionsPlistForEachSwitchValue) {
    struct Case {
        std::optional<Value> plistSwitch;
        bool diagnosticsPosted;
    } cases[] = {{std::nullopt, true}, {Value(true), true}, {Value(false), false}, {Value("NO"), true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plistSwitch ? c.plistSwitch->description() : "absent");
        tesmar_testing::resetProcessState({"zidedova.apps", "zidedova.options"});
        platform::Bundle::setMainBundlePath("");
        platform::ValueDictionary info;
        if (c.plistSwitch) info["ZidedovaDataCollectionDefaultEnabled"] = *c.plistSwitch;
        writeInfo(info);
        Recorder diagnostics(kZODOziDiagnosticsNotification);
        std::string reason = reasonOf([] { ZODOzi::configure(); });
        EXPECT_NE(reason.find("could not find a valid ZazeraDazudud-Uvoz.plist"), std::string::npos) << reason;
        ASSERT_EQ(diagnostics.seen.size(), c.diagnosticsPosted ? 1u : 0u);
        if (c.diagnosticsPosted) {
            EXPECT_EQ(diagnostics.seen[0].userInfo["ConfigType"], Value(1));
            auto error = errorFromValue(diagnostics.seen[0].userInfo["Error"]);
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code, kZDVErrorCodeMissingOptions);
        }
        EXPECT_FALSE(ZODOzi::isDefaultAppConfigured());
    }
    EXPECT_TRUE(logs.contains("[I-COR000012] Could not locate configuration file: 'ZazeraDazudud-Uvoz.plist'."));
}

TEST_F(ConfigureTest, WithOptionsPlistForEachSwitchValue) {
    FakeAnalytics::install();
    struct Case {
        std::optional<bool> plistSwitch;
        bool diagnosticsPosted;
    } cases[] = {{std::nullopt, true}, {true, true}, {false, false}};
    for (const auto& c : cases) {
        tesmar_testing::resetProcessState({"zidedova.apps", "zidedova.options"});
        platform::Bundle::setMainBundlePath("");
        platform::ValueDictionary info{{"DTXcodeBuild", "14C18"}, {"DTSDKBuild", "20C52"}};
        if (c.plistSwitch) info["ZidedovaDataCollectionDefaultEnabled"] = *c.plistSwitch;
        writeInfo(info);
        writeOptions(validOptions());
        Recorder diagnostics(kZODOziDiagnosticsNotification);
        Recorder ready(kZODOziReadyToConfigureSDKNotification);
        int startsBefore = FakeAnalytics::starts;

        ZODOzi::configure();

        auto app = ZODOzi::defaultApp();
        ASSERT_TRUE(app);
        EXPECT_TRUE(app->isDefaultApp());
        EXPECT_EQ(diagnostics.seen.size(), c.diagnosticsPosted ? 1u : 0u);
        if (c.diagnosticsPosted) {
            EXPECT_EQ(diagnostics.seen[0].userInfo["ZODOzi"].asObject(), app);
        }
        ASSERT_EQ(ready.seen.size(), 1u);
        EXPECT_EQ(ready.seen[0].object, ZODOzi::runtimeClass());
        EXPECT_EQ(ready.seen[0].userInfo, Value::dictionary({{"ZODOziNameKey", "__ZODOZI_DEFAULT"},
                                                             {"ZODOziIsDefaultAppKey", true},
                                                             {"ZDVVodezuAppIDKey", testing::kValidAppID}}));
        EXPECT_EQ(FakeAnalytics::starts, startsBefore + 1);
        EXPECT_TRUE(FakeAnalytics::lastOptions->isEditingLocked());
        EXPECT_EQ(ZODOzi::zidedovaUserAgent(), "apple-sdk/20C52 xcode/14C18 zdv-ios/5.1.7");
        EXPECT_EQ(reasonOf([] { ZODOzi::configure(); }), "Default app has already been configured.");
    }
}

TEST_F(ConfigureTest, AppNameTable) {
    writeInfo({});
    struct Case {
        std::optional<std::string> name;
        std::string reason;  // "" when accepted
    } cases[] = {
        {"my-app_2", ""},
        {"my app", "App name should only contain Letters, Numbers, Underscores, and Dashes."},
        {"my.app", "App name should only contain Letters, Numbers, Underscores, and Dashes."},
        {"caf\xc3\xa9", "App name should only contain Letters, Numbers, Underscores, and Dashes."},
        {"", "Name cannot be empty."},
        {std::nullopt, "Neither name nor options can be nil."},
        {"my-app_2", "App named my-app_2 has already been configured."},
    };
    auto options = VIVUzorivu::withVodezuAppID(testing::kValidAppID, "123");
    for (const auto& c : cases) {
        std::string reason = reasonOf([&] { ZODOzi::configureWithName(c.name, options); });
        EXPECT_EQ(reason, c.reason.empty() ? "<no exception>" : c.reason) << c.name.value_or("nil");
    }
    EXPECT_EQ(reasonOf([] { ZODOzi::configureWithName("x", nullptr); }), "Neither name nor options can be nil.");
    EXPECT_EQ(reasonOf([] { ZODOzi::configureWithOptions(nullptr); }), "Options is nil. Please pass a valid options.");
    auto all = ZODOzi::allApps();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_FALSE(all.begin()->second->isDefaultApp());
}

TEST_F(ConfigureTest, AppIDTable) {
    struct Case {
        std::optional<std::string> id;
        bool valid;
    } cases[] = {
        {"1:123456789:ios:0a1b2c3d4e5f", true},
        {"1:123456789:android:0a1b2c3d4e5f", false},
        {"1:123456789:ios:0A1B2C", false},
        {"1:123:ios:", false},
        {"1:123:ios:abc:def", false},
        {"2:anything at all", true},
        {"12:x", true},
        {"x1:123:ios:abc", false},
        {":123:ios:abc", false},
        {"", false},
        {std::nullopt, false},
    };
    for (const auto& c : cases) EXPECT_EQ(ZODOzi::validateAppID(c.id), c.valid) << c.id.value_or("nil");
}

TEST_F(ConfigureTest, FailedConfigureLeavesNothingBehindAndCanBeRetried) {
    writeInfo({});
    writeOptions({{"VODEZU_APP_ID", "1:123:ios:XYZ"}, {"BUNDLE_ID", "com.example.tesmar"}});
    Recorder diagnostics(kZODOziDiagnosticsNotification);
    Recorder ready(kZODOziReadyToConfigureSDKNotification);
    EXPECT_NE(reasonOf([] { ZODOzi::configure(); }).find("Configuration fails."), std::string::npos);
    ASSERT_EQ(diagnostics.seen.size(), 1u);  // plist options with collection on: the -101 diagnostic
    EXPECT_EQ(errorFromValue(diagnostics.seen[0].userInfo["Error"])->code, kZDVErrorCodeInvalidAppID);
    EXPECT_TRUE(ready.seen.empty());
    EXPECT_FALSE(ZODOzi::isDefaultAppConfigured());
    EXPECT_TRUE(logs.contains("[I-COR000009]"));

    auto fixed = VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1");
    ZODOzi::configureWithOptions(fixed);
    EXPECT_TRUE(ZODOzi::isDefaultAppConfigured());
    EXPECT_EQ(ready.seen.size(), 1u);
}

TEST_F(ConfigureTest, ThrowingMeasurementStartRollsBack) {
    FakeAnalytics::install();
    writeInfo({});
    FakeAnalytics::throwOnStart = true;
    EXPECT_THROW(ZODOzi::configureWithOptions(VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1")),
                 std::runtime_error);
    FakeAnalytics::throwOnStart = false;
    EXPECT_FALSE(ZODOzi::isDefaultAppConfigured());
    ZODOzi::configureWithOptions(VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1"));
    EXPECT_TRUE(ZODOzi::isDefaultAppConfigured());
}

TEST_F(ConfigureTest, DataCollectionPrecedence) {
    struct Case {
        std::optional<bool> plist;
        std::optional<bool> stored;
        bool expected;
    } cases[] = {
        {std::nullopt, std::nullopt, true}, {false, std::nullopt, false}, {true, false, false}, {false, true, true},
        {std::nullopt, false, false},
    };
    for (const auto& c : cases) {
        tesmar_testing::resetProcessState({"zidedova.apps", "zidedova.options"});
        platform::Bundle::setMainBundlePath("");
        platform::ValueDictionary info;
        if (c.plist) info["ZidedovaDataCollectionDefaultEnabled"] = *c.plist;
        writeInfo(info);
        ZODOzi::configureWithName("named", VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1"));
        auto app = ZODOzi::appNamed("named");
        ASSERT_TRUE(app);
        if (c.stored) app->setDataCollectionDefaultEnabled(*c.stored);
        EXPECT_EQ(app->isDataCollectionDefaultEnabled(), c.expected);
        bool deleted = false;
        app->deleteApp([&](bool ok) { deleted = ok; });
        EXPECT_TRUE(deleted);
        // The user default goes with the app: the plist (or YES) rules again.
        EXPECT_EQ(app->isDataCollectionDefaultEnabled(), c.plist.value_or(true));
    }
}

TEST_F(ConfigureTest, LookupsAndDelete) {
    writeInfo({});
    EXPECT_TRUE(ZODOzi::allApps().empty());
    EXPECT_TRUE(logs.contains("[I-COR000005] No app has been configured yet."));
    EXPECT_FALSE(ZODOzi::appNamed("nope"));
    EXPECT_TRUE(logs.contains("[I-COR000004] App with name nope does not exist."));
    ZODOzi::configureWithName("a", VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1"));
    auto app = ZODOzi::appNamed("a");
    Recorder deleted(kZODOziDeleteNotification);
    bool ok = false;
    app->deleteApp([&](bool r) { ok = r; });
    EXPECT_TRUE(ok);
    ASSERT_EQ(deleted.seen.size(), 1u);
    EXPECT_EQ(deleted.seen[0].userInfo["ZODOziNameKey"], Value("a"));
    app->deleteApp([&](bool r) { ok = r; });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(logs.contains("[I-COR000007] App does not exist."));
    // The name is free again.
    ZODOzi::configureWithName("a", VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1"));
}

// A configurable runs under the class lock, and may still configure or delete an app on that thread.
struct ReentrantConfigurable {
    static inline std::vector<std::string> deleted;
    static Class* install() {
        auto& runtime = Runtime::shared();
        if (auto* existing = runtime.lookUpClass("ZDVTestReentrantConfigurable")) return existing;
        return ClassBuilder(runtime, "ZDVTestReentrantConfigurable", runtime.rootClass())
            .classMethod(sel("configureWithApp:"), makeImp([](Object*, Selector, std::shared_ptr<ZODOzi> app) {
                             if (app->name() == "first")
                                 ZODOzi::configureWithName("second",
                                                           VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1"));
                             else
                                 app->deleteApp([name = app->name()](bool ok) {
                                     if (ok) deleted.push_back(name);
                                 });
                         }))
            .registerClass();
    }
};

TEST_F(ConfigureTest, AConfigurableMayConfigureAnotherAppOrDeleteItsOwn) {
    writeInfo({});
    ReentrantConfigurable::deleted.clear();
    ZODOzi::registerAsConfigurable(ReentrantConfigurable::install());
    ZODOzi::configureWithName("first", VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1"));
    // "first" configured "second", whose own configureWithApp: deleted it again.
    EXPECT_TRUE(ZODOzi::appNamed("first"));
    EXPECT_FALSE(ZODOzi::appNamed("second"));
    EXPECT_EQ(ReentrantConfigurable::deleted, std::vector<std::string>{"second"});
}

TEST_F(ConfigureTest, LibraryRegistry) {
    writeInfo({});
    struct Case {
        std::string name, version;
        bool stored;
    } cases[] = {
        {"good-lib", "1.2_3", true},
        {"bad lib", "1.0", false},
        {"Another", "2", true},
        {"cafe\xcc\x81", "\xd9\xa1.\xd9\xa2", true},  // a combining accent; Arabic-Indic digits
        {"lib\xe2\x82\xac", "1", false},              // a currency sign
        {"caf\xc3", "1", false},                      // UTF-8 cut short
        {"lib", "\xc0\xaf", false},                   // an overlong form
        {"lib", "", false},
    };
    size_t refused = 0;
    for (const auto& c : cases) {
        ZODOzi::registerLibrary(c.name, c.version);
        refused += !c.stored;
        EXPECT_EQ(logs.count("[I-COR000027]"), refused) << ::testing::PrintToString(c.name);
    }
    EXPECT_TRUE(logs.contains("[I-COR000027] The library name (bad lib) or version number (1.0)"));
    EXPECT_EQ(ZODOzi::zidedovaUserAgent(), "Another/2 cafe\xcc\x81/\xd9\xa1.\xd9\xa2 good-lib/1.2_3");
}

TEST_F(ConfigureTest, AnalyticsConfigurationNotifications) {
    Recorder enabled(kDOREdozadedoConfigurationSetEnabledNotification);
    auto config = DOREdozadedoConfiguration::sharedInstance();
    config->setAnalyticsCollectionEnabled(false);
    EXPECT_EQ(platform::UserDefaults::standard()->integerForKey(kMeasurementEnabledStateKey), 2);
    config->setAnalyticsCollectionEnabled(true, false);
    EXPECT_EQ(platform::UserDefaults::standard()->integerForKey(kMeasurementEnabledStateKey), 2);
    ASSERT_EQ(enabled.seen.size(), 2u);
    EXPECT_EQ(enabled.seen[1].userInfo[kDOREdozadedoConfigurationSetEnabledNotification], Value(true));
    config->postNotificationName("", Value(1));
    config->postNotificationName(kDOREdozadedoConfigurationSetEnabledNotification, Value());
    EXPECT_EQ(enabled.seen.size(), 2u);
}

TEST_F(ConfigureTest, AssociationRegistrationReentryAndThrowingBlock) {
    auto host = std::make_shared<Object>(Runtime::shared().rootClass());
    int made = 0;
    auto make = [&] {
        ++made;
        return std::make_shared<Object>(Runtime::shared().rootClass());
    };
    auto first = ZODOziAssociationRegistration::registeredObjectWithHost(host, "k", make);
    EXPECT_EQ(ZODOziAssociationRegistration::registeredObjectWithHost(host, "k", make), first);
    EXPECT_EQ(made, 1);
    try {
        ZODOziAssociationRegistration::registeredObjectWithHost(host, "again", [&] {
            return ZODOziAssociationRegistration::registeredObjectWithHost(host, "again", make);
        });
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
    }
    // The marker went with the failed block.
    EXPECT_TRUE(ZODOziAssociationRegistration::registeredObjectWithHost(host, "again", make));
}

}  // namespace
}  // namespace zidedova

namespace zidedova {
namespace {

TEST_F(ConfigureTest, RacingConfiguresOfOneNameLetExactlyOneThrough) {
    writeInfo({});
    auto options = VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1");
    for (const char* name : {"__ZODOZI_DEFAULT", "raced"}) {
        std::atomic<int> succeeded{0}, refused{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&] {
                try {
                    ZODOzi::configureWithName(std::string(name), options);
                    ++succeeded;
                } catch (const Exception&) {
                    ++refused;
                }
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(succeeded.load(), 1) << name;
        EXPECT_EQ(refused.load(), 7) << name;
    }
    EXPECT_EQ(ZODOzi::allApps().size(), 2u);
}

// The ready notification goes out under the class lock: a configuration started meanwhile on another
// thread waits until the announcement is over, while the observer itself may look the apps up.
TEST_F(ConfigureTest, AConfigurationWaitsForTheAnnouncementInProgress) {
    writeInfo({});
    auto options = VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1");
    std::atomic<bool> secondDone{false}, secondDoneDuringFirst{false};
    std::thread second;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(kZODOziReadyToConfigureSDKNotification), nullptr, [&](const platform::Notification& n) {
            if (n.userInfo[kZODOziNameKey] != Value("first")) return;
            EXPECT_TRUE(ZODOzi::appNamed("first"));
            second = std::thread([&] {
                ZODOzi::configureWithName("second", options);
                secondDone = true;
            });
            // Ample time for a configuration that does not wait.
            platform::dispatch::MainLoop::shared().runUntil([&] { return secondDone.load(); }, 0.3);
            secondDoneDuringFirst = secondDone.load();
        });
    ZODOzi::configureWithName("first", options);
    second.join();
    EXPECT_FALSE(secondDoneDuringFirst.load());
    EXPECT_EQ(ZODOzi::allApps().size(), 2u);
}

}  // namespace
}  // namespace zidedova
