// Kit settings against the kit-service stand-in: downloaded once and cached with their expiry, a fresh
// cache reused without asking, the app registered while the service does not know it, and failures
// retried later without losing anything.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>

#include "demo/KitServiceStandIn.h"
#include "kit_platform/KitService.h"
#include "kit_platform/KitSettings.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PendingWrites.h"
#include "testing/FullDisk.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestHttpServer.h"

namespace {

using platform::Value;
using tesmar_testing::Reply;
using State = verira::SettingsController::State;

constexpr const char* kBundle = "com.example.kits";
constexpr double kNow = 1800000000;  // seconds since 1970

bool waitFor(const std::function<bool()>& done) { return platform::dispatch::MainLoop::shared().runUntil(done, 20); }

class KitSettings : public ::testing::Test {
protected:
    void SetUp() override {
        client_ = std::make_shared<verira::KitServiceClient>("key-1", service_.baseURL());
        cachePath_ = device_.path() + "/settings.json";
    }

    std::shared_ptr<verira::SettingsController> controller(double now = kNow) {
        verira::AppFacts facts{kBundle, "INSTALL-1", "2.4", "240"};
        return std::make_shared<verira::SettingsController>(client_, facts, cachePath_, [this, now] {
            return platform::Date::fromTimeIntervalSince1970(now + offset_.load());
        });
    }
    // Runs one sync to its end (done, gave up or waiting to retry).
    std::shared_ptr<verira::SettingsController> sync(double now = kNow) {
        auto c = controller(now);
        c->start();
        EXPECT_TRUE(waitFor([&] { return c->state() != State::Idle && c->state() != State::Working; }));
        return c;
    }
    Value cache() const {
        std::ifstream in(cachePath_);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        return platform::json::read(text).valueOr(Value());
    }
    void writeCache(const std::string& text) { std::ofstream(cachePath_) << text; }

    tesmar_testing::TemporaryDeviceRoot device_{"kit-settings"};
    tesmar_demo::KitServiceStandIn service_;
    std::shared_ptr<verira::KitServiceClient> client_;
    std::string cachePath_;
    std::atomic<double> offset_{0};
};

TEST_F(KitSettings, ANewAppIsRegisteredOnceAndTheCacheRemembersIt) {
    auto first = sync();
    EXPECT_EQ(first->state(), State::Done);
    auto asked = service_.settingsRequests();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].path, std::string("/v1/apps/") + kBundle + "/settings");
    EXPECT_EQ(asked[0].queryItem("installation_id"), "INSTALL-1");
    EXPECT_EQ(asked[0].header(verira::kAPIKeyHeader), "key-1");

    auto registrations = service_.registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(registrations[0].header(verira::kAPIKeyHeader), "key-1");
    EXPECT_EQ(platform::json::read(registrations[0].body).valueOr(Value()),
              Value::dictionary({{"bundle_id", kBundle},
                                 {"installation_id", "INSTALL-1"},
                                 {"display_version", "2.4"},
                                 {"build_version", "240"}}));
    EXPECT_EQ(first->settings()["app_status"], Value("known"));
    EXPECT_EQ(cache()["settings"]["app_status"], Value("known"));
    EXPECT_EQ(cache()["expires_at"].doubleOr(0), kNow + 3600);

    // The next launch, within the hour: nothing asked, nothing registered.
    auto second = sync(kNow + 1800);
    EXPECT_EQ(second->state(), State::Done);
    EXPECT_EQ(second->settings()["app_status"], Value("known"));
    EXPECT_EQ(service_.settingsRequests().size(), 1u);
    EXPECT_EQ(service_.registrations().size(), 1u);

    // After it: asked again; the service now knows the app.
    auto third = sync(kNow + 3600);
    EXPECT_EQ(service_.settingsRequests().size(), 2u);
    EXPECT_EQ(service_.registrations().size(), 1u);
    EXPECT_EQ(third->settings()["app_status"], Value("known"));
}

// Settings that come while the disk is full are used, and cached once there is room.
TEST_F(KitSettings, SettingsTheDiskRefusedAreCachedOnceThereIsRoom) {
    {
        tesmar_testing::FullDisk full;
        EXPECT_EQ(sync()->state(), State::Done);
        platform::PendingWrites::flushAll();
        EXPECT_TRUE(cache().isNull());
    }
    platform::PendingWrites::flushAll();
    EXPECT_EQ(cache()["settings"]["app_status"], Value("known"));
    tesmar_testing::resetProcessState({"foundation.pending-writes"});
}

TEST_F(KitSettings, CacheDurationDecidesWhatIsKept) {
    struct Case {
        const char* label;
        int64_t duration;
        bool cached;
        double expiresAt;
    } cases[] = {
        {"an hour", 3600, true, kNow + 3600},
        {"zero", 0, false, 0},
        {"negative", -5, false, 0},
        {"beyond thirty days", 90LL * 24 * 3600, true, kNow + verira::kMaxSettingsCacheSeconds},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::remove(cachePath_.c_str());
        service_.setKnown(kBundle);
        service_.setCacheDuration(c.duration);
        auto done = sync();
        EXPECT_EQ(done->state(), State::Done);
        EXPECT_EQ(done->settings()["app_status"], Value("known"));
        EXPECT_EQ(cache().isDictionary(), c.cached);
        if (c.cached) {
            EXPECT_EQ(cache()["expires_at"].doubleOr(0), c.expiresAt);
        }
    }
}

TEST_F(KitSettings, AnUnusableCacheIsDownloadedAgain) {
    service_.setKnown(kBundle);
    const std::string good = R"({"app_status":"known","cache_duration":3600})";
    struct Case {
        const char* label;
        std::string text;
    } cases[] = {
        {"not JSON", "{\"expires_at\": "},
        {"no expiry", R"({"settings":)" + good + "}"},
        {"settings not an object", R"({"expires_at":1800003600,"settings":"x"})"},
        {"expired", R"({"expires_at":1799999999,"settings":)" + good + "}"},
        {"expiring further ahead than any duration", R"({"expires_at":1900000000,"settings":)" + good + "}"},
    };
    size_t asked = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        writeCache(c.text);
        auto done = sync();
        EXPECT_EQ(done->state(), State::Done);
        EXPECT_EQ(service_.settingsRequests().size(), ++asked);
        EXPECT_EQ(cache()["expires_at"].doubleOr(0), kNow + 3600) << "the fresh download replaced it";
    }
}

TEST_F(KitSettings, FailuresAreRetriedLaterAndNothingIsLost) {
    auto clock = std::make_shared<platform::dispatch::ManualClock>();
    platform::dispatch::ScopedClock scoped(clock);
    service_.script("GET settings", {Reply::withStatus(500), Reply::json("[1, 2]"), Reply::drop()});
    service_.script("POST apps", {Reply::withStatus(503)});

    auto c = sync();
    EXPECT_EQ(c->state(), State::WaitingToRetry);
    EXPECT_EQ(c->failures(), 1);
    EXPECT_FALSE(cache().isDictionary());

    // Settings that are not an object, then a dropped connection: each a failure, each retried later.
    for (int failures = 2; failures <= 3; ++failures) {
        clock->advance(verira::kSettingsRetryDelays[failures - 2]);
        ASSERT_TRUE(waitFor([&] { return c->failures() == failures && c->state() == State::WaitingToRetry; }))
            << failures;
    }
    // URL loading may try a dropped connection once more by itself.
    size_t asked = service_.settingsRequests().size();
    EXPECT_GE(asked, 3u);
    EXPECT_TRUE(service_.registrations().empty());

    // The last retry of this launch gets the settings; the registration fails, and the launch gives up.
    service_.clearScript("GET settings");
    clock->advance(verira::kSettingsRetryDelays[2]);
    ASSERT_TRUE(waitFor([&] { return c->state() == State::GaveUp; }));
    EXPECT_EQ(service_.registrations().size(), 1u);
    EXPECT_EQ(cache()["settings"]["app_status"], Value("new")) << "cached, still to register";

    // The next launch registers from the fresh cache without asking for the settings again.
    service_.clearScript("POST apps");
    auto next = sync();
    EXPECT_EQ(next->state(), State::Done);
    EXPECT_EQ(service_.settingsRequests().size(), asked + 1);
    EXPECT_EQ(service_.registrations().size(), 2u);
    EXPECT_EQ(cache()["settings"]["app_status"], Value("known"));
}

}  // namespace
