// The location manager stand-in as a caller sees it through the runtime: prompts, delegate calls only
// where answered, refusals, and the background switch's fault.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/corelocation/CoreLocation.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/objc/Runtime.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

using namespace platform;
namespace cl = platform::corelocation;
using objc::ObjectHandle;
using objc::sel;

struct Heard {
    std::vector<std::pair<double, double>> fixes;
    std::vector<int64_t> statuses;
    std::vector<int64_t> errors;
};

class LocationManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tesmar_testing::resetProcessState();
        PlatformConfig::update([](PlatformSettings& s) { s.optionalFrameworks.insert(cl::kFrameworkName); });
        cl::registerClasses();
    }
    void TearDown() override { tesmar_testing::resetProcessState(); }

    void info(Value plist) {
        auto dir = std::filesystem::path(device.path()) / ("Bundle" + std::to_string(bundles_++));
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(plist::writeFile(plist, (dir / "Info.plist").string()).ok());
        Bundle::setMainBundlePath(dir.string());
    }

    // A delegate answering only the selectors asked for.
    ObjectHandle delegate(bool fixes, bool statuses, bool errors) {
        auto& rt = objc::Runtime::shared();
        objc::ClassBuilder b(rt, "LocationDelegate" + std::to_string(classes_++), rt.rootClass());
        Heard* heard = &heard_;
        if (fixes)
            b.method(sel("locationManager:didUpdateLocations:"),
                     objc::makeImp([heard](objc::Object*, objc::Selector, ObjectHandle, std::vector<ObjectHandle> l) {
                         for (auto& loc : l)
                             heard->fixes.push_back(objc::send<std::pair<double, double>>(loc, sel("coordinate")));
                     }));
        if (statuses)
            b.method(sel("locationManager:didChangeAuthorizationStatus:"),
                     objc::makeImp([heard](objc::Object*, objc::Selector, ObjectHandle, int64_t s) {
                         heard->statuses.push_back(s);
                     }));
        if (errors)
            b.method(sel("locationManager:didFailWithError:"),
                     objc::makeImp([heard](objc::Object*, objc::Selector, ObjectHandle, Error e) {
                         heard->errors.push_back(e.code);
                     }));
        delegates_.push_back(std::make_shared<objc::Object>(b.registerClass()));
        return delegates_.back();  // the manager holds its delegate weakly
    }

    ObjectHandle manager(const ObjectHandle& d) {
        objc::Class* cls = objc::lookUpClass("CLLocationManager");
        ObjectHandle m = objc::send<ObjectHandle>(objc::send<ObjectHandle>(cls, sel("alloc")), sel("init"));
        objc::send<void, ObjectHandle>(m, sel("setDelegate:"), d);
        return m;
    }

    tesmar_testing::TemporaryDeviceRoot device{"corelocation-test"};
    Heard heard_;
    std::vector<ObjectHandle> delegates_;
    int bundles_ = 0;
    static inline int classes_ = 0;
};

TEST_F(LocationManagerTest, PromptsOnlyOnceAndOnlyWithADescription) {
    std::vector<std::string> prompts;
    auto token = DeviceEvents::addListener([&](const std::string& name, const Value& f) {
        if (name == "location.prompt") prompts.push_back(f["kind"].stringOr(""));
    });
    info(Value::dictionary());
    auto d = delegate(true, true, true);
    auto m = manager(d);
    objc::send<void>(m, sel("requestWhenInUseAuthorization"));
    EXPECT_TRUE(prompts.empty()) << "no description, no prompt";
    EXPECT_EQ(cl::authorizationStatus(), cl::AuthorizationStatus::NotDetermined);

    info(Value::dictionary({{"NSLocationAlwaysAndWhenInUseUsageDescription", "why"}}));
    objc::send<void>(m, sel("requestAlwaysAuthorization"));
    objc::send<void>(m, sel("requestWhenInUseAuthorization"));
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(prompts, std::vector<std::string>{"always"});
    EXPECT_EQ(heard_.statuses, std::vector<int64_t>{3});
    EXPECT_EQ(objc::send<int64_t>(objc::lookUpClass("CLLocationManager"), sel("authorizationStatus")), 3);
}

TEST_F(LocationManagerTest, UpdatesReachOnlyDelegatesThatAnswer) {
    cl::setAuthorizationStatus(cl::AuthorizationStatus::AuthorizedWhenInUse);
    cl::setPosition({1.5, 2.5, 3, 4});
    auto silent = manager(delegate(false, false, false));
    auto listening = manager(delegate(true, false, false));
    objc::send<void>(silent, sel("startUpdatingLocation"));
    objc::send<void>(listening, sel("startUpdatingLocation"));
    dispatch::MainLoop::shared().runUntilIdle();
    ASSERT_EQ(heard_.fixes.size(), 1u);
    EXPECT_EQ(heard_.fixes[0], std::make_pair(1.5, 2.5));
    cl::setPosition({7, 8});
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(heard_.fixes.size(), 2u) << "a new position while updating";
    objc::send<void>(listening, sel("stopUpdatingLocation"));
    cl::setPosition({9, 9});
    dispatch::MainLoop::shared().runUntilIdle();
    EXPECT_EQ(heard_.fixes.size(), 2u);
}

TEST_F(LocationManagerTest, RefusalsAndServicesOff) {
    struct Row {
        const char* name;
        cl::AuthorizationStatus status;
        bool services;
        size_t fixes;
        size_t errors;
    };
    const Row rows[] = {
        {"denied", cl::AuthorizationStatus::Denied, true, 0, 1},
        {"restricted", cl::AuthorizationStatus::Restricted, true, 0, 1},
        {"not determined waits", cl::AuthorizationStatus::NotDetermined, true, 0, 0},
        {"services off", cl::AuthorizationStatus::AuthorizedAlways, false, 0, 0},
        {"always", cl::AuthorizationStatus::AuthorizedAlways, true, 1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        heard_ = {};
        cl::setAuthorizationStatus(row.status);
        cl::setServicesEnabled(row.services);
        cl::setPosition({1, 1});
        auto m = manager(delegate(true, false, true));
        objc::send<void>(m, sel("startUpdatingLocation"));
        dispatch::MainLoop::shared().runUntilIdle();
        EXPECT_EQ(heard_.fixes.size(), row.fixes);
        EXPECT_EQ(heard_.errors.size(), row.errors);
        objc::send<void>(m, sel("stopUpdatingLocation"));
    }
}

TEST_F(LocationManagerTest, BackgroundUpdatesNeedTheBackgroundMode) {
    info(Value::dictionary());
    auto m = manager(delegate(false, false, false));
    auto allow = [&] { objc::send<void, bool>(m, sel("setAllowsBackgroundLocationUpdates:"), true); };
    EXPECT_THROW(allow(), std::logic_error);
    info(Value::dictionary({{"UIBackgroundModes", Value::array({"location"})}}));
    objc::send<void, bool>(m, sel("setAllowsBackgroundLocationUpdates:"), true);
    EXPECT_TRUE(objc::send<bool>(m, sel("allowsBackgroundLocationUpdates")));
}

}  // namespace
