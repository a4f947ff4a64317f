#pragma once
// Shared fixture for the UI tests: a manual clock, a fresh device directory with an Info.plist, an
// event recorder, and a clean shared application.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/uikit/UIKit.h"
#include "testing/TemporaryDeviceRoot.h"

namespace uikit_test {

using namespace platform;
using namespace platform::uikit;
using objc::makeImp;
using objc::Object;
using objc::sel;
using objc::Selector;

struct Event {
    std::string name;
    Value fields;
};

class UIKitTest : public ::testing::Test {
protected:
    void SetUp() override {
        Bundle::setMainBundlePath((root_ / "Bundle").string());
        writeInfo(Value::dictionary());
        events_ = DeviceEvents::addListener([this](const std::string& name, const Value& fields) {
            recorded.push_back({name, fields});
        });
        Application::resetShared();
        Storyboard::unregisterAll();
    }
    void TearDown() override {
        dispatch::MainLoop::shared().runUntilIdle();
        Application::resetShared();
        Storyboard::unregisterAll();
    }

    void writeInfo(const Value& info) {
        // A new path each time: a bundle reads its Info.plist once.
        auto dir = root_ / ("Bundle" + std::to_string(infoCount_++));
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(plist::writeFile(info, (dir / "Info.plist").string()).ok());
        Bundle::setMainBundlePath(dir.string());
    }

    std::vector<Event> eventsNamed(const std::string& name) const {
        std::vector<Event> out;
        for (auto& e : recorded)
            if (e.name == name) out.push_back(e);
        return out;
    }

    // A fresh runtime class name per test: classes live for the whole process.
    static std::string uniqueName(const std::string& base) { return base + std::to_string(counter()++); }

    tesmar_testing::TemporaryDeviceRoot device{"uikit-test", {"Bundle"}};
    std::vector<Event> recorded;
    std::shared_ptr<dispatch::ManualClock> clock = std::make_shared<dispatch::ManualClock>(1000);
    dispatch::ScopedClock scopedClock{clock};

private:
    static std::atomic<int>& counter() {
        static std::atomic<int> c{0};
        return c;
    }
    std::filesystem::path root_ = device.path();
    int infoCount_ = 0;
    DeviceEvents::Token events_;
};

}  // namespace uikit_test
