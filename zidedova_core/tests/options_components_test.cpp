#include "zidedova_core/ZDVComponentContainer.h"
#include "zidedova_core/ZDVException.h"
#include "zidedova_core/tests/CoreFixture.h"

namespace zidedova {
namespace {

using platform::Value;
using namespace platform::objc;

class OptionsTest : public testing::CoreTest {};

TEST_F(OptionsTest, CopyIsRealAndLockedSettersRaise) {
    writeInfo({});
    auto options = VIVUzorivu::withVodezuAppID(testing::kValidAppID, "42");
    ZODOzi::configureWithOptions(options);
    options->setAPIKey("changed after configure");
    auto app = ZODOzi::defaultApp();
    EXPECT_FALSE(app->options()->APIKey());  // the caller's edit does not reach the app

    auto appOptions = app->options();
    EXPECT_TRUE(appOptions->isEditingLocked());
    EXPECT_THROW(appOptions->setAPIKey("x"), Exception);
    EXPECT_THROW(appOptions->setDeepLinkURLScheme("x"), Exception);
    EXPECT_THROW(appOptions->setBundleID(std::nullopt), Exception);
    appOptions->setLibraryVersionID("allowed");
    EXPECT_EQ(app->options()->VEVSenderID(), "42");
    EXPECT_EQ(app->options()->bundleID(), "com.example.tesmar");
}

TEST_F(OptionsTest, DefaultOptionsAndMalformedFile) {
    writeInfo({});
    EXPECT_FALSE(VIVUzorivu::defaultOptions());
    EXPECT_FALSE(VIVUzorivu::defaultOptions());
    EXPECT_EQ(logs.count("[I-COR000012]"), 2u);  // a failed read is retried
    std::ofstream(root + "/Bundle/ZazeraDazudud-Uvoz.plist") << "<plist><array/></plist>";
    EXPECT_FALSE(VIVUzorivu::defaultOptions());
    EXPECT_TRUE(logs.contains("[I-COR000011] The configuration file is not a dictionary"));
    writeOptions(testing::CoreTest::validOptions());
    auto options = VIVUzorivu::defaultOptions();
    ASSERT_TRUE(options);
    EXPECT_TRUE(options->usingOptionsFromDefaultPlist());
    EXPECT_FALSE(options->isEditingLocked());
    EXPECT_EQ(VIVUzorivu::defaultOptions(), options);
    EXPECT_FALSE(VIVUzorivu::withContentsOfFile(std::nullopt));
    EXPECT_FALSE(VIVUzorivu::withContentsOfFile(root + "/missing.plist"));
    EXPECT_TRUE(logs.contains("[I-COR000013] The plist file path is nil."));
    EXPECT_TRUE(logs.contains("[I-COR000014]"));
}

TEST_F(OptionsTest, AnalyticsFlagTable) {
    struct Case {
        platform::ValueDictionary info, options;
        bool enabled, explicitlySet;
    } cases[] = {
        {{{"ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED", false}},
         {{"ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED", true}},
         false,
         true},
        {{}, {{"ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED", true}}, true, true},
        {{},
         {{"ZIDEDOVA_ANALYTICS_COLLECTION_DEACTIVATED", true},
          {"IS_MEASUREMENT_ENABLED", true},
          {"ZIDEDOVA_ANALYTICS_COLLECTION_ENABLED", true}},
         false,
         true},
        {{}, {{"IS_MEASUREMENT_ENABLED", true}}, true, true},
        {{}, {}, false, false},  // no key anywhere, no default app
    };
    for (const auto& c : cases) {
        platform::Bundle::setMainBundlePath("");
        writeInfo(c.info);
        platform::Bundle::setMainBundlePath("");
        VIVUzorivu options(c.options);
        EXPECT_EQ(options.isAnalyticsCollectionEnabled(), c.enabled) << Value(c.options);
        EXPECT_EQ(options.isAnalyticsCollectionExpicitlySet(), c.explicitlySet) << Value(c.options);
    }
}

TEST_F(OptionsTest, MeasurementFollowsTheDefaultAppsSwitch) {
    writeInfo({});
    ZODOzi::configureWithOptions(VIVUzorivu::withVodezuAppID(testing::kValidAppID, "1"));
    VIVUzorivu options(platform::ValueDictionary{});
    EXPECT_TRUE(options.isMeasurementEnabled());
    ZODOzi::defaultApp()->setDataCollectionDefaultEnabled(false);
    EXPECT_FALSE(options.isMeasurementEnabled());
}

// --- components ---

class ComponentTest : public testing::CoreTest {
protected:
    // A registrant class offering the given components.
    Class* makeRegistrant(const std::string& name, ZDVComponentList components) {
        auto& runtime = Runtime::shared();
        std::string unique = name + std::to_string(counter++);
        return ClassBuilder(runtime, unique, runtime.rootClass())
            .protocol(protocolNamed(kZDVComponentRegistrantProtocol))
            .classMethod(sel("componentsToRegister"), makeImp([components](Object*, Selector) { return components; }))
            .registerClass();
    }
    Class* serviceClass(const Protocol* conformsTo) {
        auto& runtime = Runtime::shared();
        ClassBuilder b(runtime, "TestService" + std::to_string(counter++), runtime.rootClass());
        if (conformsTo) b.protocol(conformsTo);
        return b.registerClass();
    }
    static inline int counter = 0;
};

TEST_F(ComponentTest, FirstRegistrantWinsAndUncacheableIsMadeEachTime) {
    const Protocol* proto = protocolNamed("TestServiceProtocolA");
    Class* service = serviceClass(proto);
    int firstMade = 0, secondMade = 0;
    auto first = ZDVComponent::componentWithProtocol(proto, [&](ZDVComponentContainer&, bool*) {
        ++firstMade;
        return std::make_shared<Object>(service);
    });
    auto second = ZDVComponent::componentWithProtocol(proto, [&](ZDVComponentContainer&, bool*) {
        ++secondMade;
        return std::make_shared<Object>(service);
    });
    ZDVComponentContainer container({}, false, {makeRegistrant("First", {first}), makeRegistrant("Second", {second})});
    EXPECT_TRUE(logs.contains("[I-COR000029] Attempted to register protocol TestServiceProtocolA"));
    auto a = container.instanceForProtocol(proto);
    auto b = container.instanceForProtocol(proto);
    EXPECT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(firstMade, 2);
    EXPECT_EQ(secondMade, 0);
    logs.clear();
    EXPECT_FALSE(container.instanceForProtocol(protocolNamed("NobodyRegisteredThis")));
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(ComponentTest, EagerTimingCachingAndTearDown) {
    const Protocol* proto = protocolNamed("TestServiceProtocolB");
    const Protocol* maintainer = protocolNamed(kZDVComponentLifecycleMaintainerProtocol);
    int deletions = 0;
    auto& runtime = Runtime::shared();
    Class* service =
        ClassBuilder(runtime, "TestMaintainedService" + std::to_string(counter++), runtime.rootClass())
            .protocol(proto)
            .protocol(maintainer)
            .method(sel("appWillBeDeleted:"), makeImp([&](Object*, Selector, std::shared_ptr<ZODOzi>) { ++deletions; }))
            .registerClass();
    int made = 0;
    auto component = ZDVComponent::componentWithProtocol(proto, ZDVInstantiationTiming::EagerInDefaultApp, {},
                                                         [&](ZDVComponentContainer&, bool* cacheable) {
                                                             ++made;
                                                             *cacheable = true;
                                                             return std::make_shared<Object>(service);
                                                         });
    Class* registrant = makeRegistrant("Eager", {component});
    ZDVComponentContainer named({}, false, {registrant});
    EXPECT_EQ(made, 0);  // stays lazy in a named app
    ZDVComponentContainer defaultApp({}, true, {registrant});
    EXPECT_EQ(made, 1);
    auto cached = defaultApp.instanceForProtocol(proto);
    EXPECT_EQ(defaultApp.instanceForProtocol(proto), cached);
    EXPECT_EQ(made, 1);
    defaultApp.removeAllCachedInstances();
    EXPECT_EQ(deletions, 1);
    EXPECT_NE(defaultApp.instanceForProtocol(proto), cached);
    EXPECT_EQ(made, 2);
}

TEST_F(ComponentTest, NonConformingInstanceIsNotReturned) {
    const Protocol* proto = protocolNamed("TestServiceProtocolC");
    Class* other = serviceClass(nullptr);
    ZDVComponentContainer container(std::weak_ptr<ZODOzi>{},
                                    std::map<std::string, ZDVComponentCreationBlock>{
                                        {"TestServiceProtocolC", [&](ZDVComponentContainer&, bool* cacheable) {
                                             *cacheable = true;
                                             return std::make_shared<Object>(other);
                                         }}});
    EXPECT_FALSE(container.instanceForProtocol(proto));
    EXPECT_TRUE(logs.contains("[I-COR000030] An instance conforming to TestServiceProtocolC was requested"));
}

TEST_F(ComponentTest, RegistrantMustConform) {
    auto& runtime = Runtime::shared();
    std::string name = "NotARegistrant" + std::to_string(counter++);
    Class* plain = ClassBuilder(runtime, name, runtime.rootClass()).registerClass();
    ZDVRegistrantSet set;
    try {
        ZDVComponentContainer::registerAsComponentRegistrant(plain, &set);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.name(), "NSInvalidArgumentException");
        EXPECT_NE(e.reason().find("Class " + name + " attempted to register components"), std::string::npos);
    }
    EXPECT_TRUE(set.classes().empty());
    ZDVComponentContainer::registerAsComponentRegistrant(makeRegistrant("Ok", {}), nullptr);
    EXPECT_TRUE(logs.contains("[I-COR000025] Attempted to store registered components in an empty set."));
}

TEST_F(ComponentTest, ConcurrentLookupsOfACacheableComponentAgree) {
    const Protocol* proto = protocolNamed("TestServiceProtocolD");
    Class* service = serviceClass(proto);
    std::atomic<int> made{0};
    ZDVComponentContainer container(std::weak_ptr<ZODOzi>{},
                                    std::map<std::string, ZDVComponentCreationBlock>{
                                        {"TestServiceProtocolD", [&](ZDVComponentContainer& c, bool* cacheable) {
                                             ++made;
                                             *cacheable = true;
                                             // A block may look up other components: no lock is held.
                                             (void)c.instanceForProtocol(protocolNamed("NobodyRegisteredThis"));
                                             return std::make_shared<Object>(service);
                                         }}});
    std::vector<ObjectHandle> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = container.instanceForProtocol(proto); });
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
}

// --- app-core logger switches ---

class LoggerSwitchTest : public testing::CoreTest {};

TEST_F(LoggerSwitchTest, LaunchArgumentAndPersistedFlagTable) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<bool> persisted;
        bool debug;
        std::optional<bool> persistedAfter;
    } cases[] = {
        {{}, std::nullopt, false, std::nullopt},
        {{"-ZDVDebugEnabled"}, std::nullopt, true, true},
        {{}, true, true, true},  // one launch with the argument keeps later launches in debug mode
        {{"-ZDVDebugDisabled"}, true, false, std::nullopt},
        {{"-ZDVDebugEnabled", "-ZDVDebugDisabled"}, std::nullopt, false, std::nullopt},
    };
    for (const auto& c : cases) {
        tesmar_testing::resetProcessState({"zidedova.logger", "zidedova.utilities.logger"});
        std::vector<std::string> args{"Tesmar"};
        args.insert(args.end(), c.arguments.begin(), c.arguments.end());
        platform::ProcessInfo::processInfo().setArguments(args);
        auto defaults = platform::UserDefaults::standard();
        if (c.persisted)
            (void)defaults->setBool(*c.persisted, kZDVDebugModeKey);
        else
            (void)defaults->removeObjectForKey(kZDVDebugModeKey);
        logs.clear();
        ZDVLoggerLogDebug(kZDVLoggerService, "I-COR000001", "Configuring the default app.");
        EXPECT_EQ(logs.contains("5.12.0 - [Zidedova/Core][I-COR000001] Configuring the default app."), c.debug)
            << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(defaults->boolForKey(kZDVDebugModeKey), c.persistedAfter) << ::testing::PrintToString(c.arguments);
    }
}

TEST_F(LoggerSwitchTest, DebugArgumentHasNoEffectInAppStoreInstall) {
    std::filesystem::create_directories(root + "/Bundle/SC_Info");
    platform::ProcessInfo::processInfo().setArguments(std::vector<std::string>{"Tesmar", "-ZDVDebugEnabled"});
    ZDVLoggerLogDebug(kZDVLoggerService, "I-COR000001", "hidden");
    ZDVLoggerLogWarning(kZDVLoggerService, "I-COR000022", "shown");
    EXPECT_FALSE(logs.contains("hidden"));
    EXPECT_TRUE(logs.contains("shown"));
}

}  // namespace
}  // namespace zidedova
