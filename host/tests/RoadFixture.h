#pragma once
// The set-up the road tests share: a temporary folder, the stand-in services the run talks to, the app's
// bundle and device, and the arguments that point tesmar-sim at all of them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Strings.h"
#include "demo/DemoSite.h"
#include "demo/KitServiceStandIn.h"
#include "demo/LoglaneServiceStandIn.h"
#include "demo/PushServiceStandIn.h"
#include "host/tests/SimRun.h"
#include "platform/foundation/PropertyList.h"

namespace host_test {

inline constexpr const char* kBundleId = "com.tesmar.intranet";

// Config.json for the intranet site, with the optional keys the roads differ on.
inline std::string siteConfig(bool pushEnabled = true, bool homeHost = true) {
    std::string text = "{\"base_url\": \"" + std::string(Tesmar::Strings::Endpoint::baseUrl) + "/\"";
    if (pushEnabled) text += ", \"push_notifications_enabled\": \"true\"";
    if (homeHost) text += ", \"base_url_home_host\": \"tesmar.example\"";
    return text + "}";
}

// The app's Info.plist: `extra` adds keys or replaces the usual ones.
inline platform::Value appInfo(const platform::Value& extra = platform::Value::dictionary()) {
    using platform::Value;
    Value info = Value::dictionary({{"CFBundleIdentifier", kBundleId},
                                    {"UIMainStoryboardFile", "Main"},
                                    {"Verira", Value::dictionary({{"APIKey", "test-kit-api-key"}})}});
    for (const auto& [key, value] : *extra.asDictionary()) info.set(key, value);
    return info;
}

// The app core's options file.
inline platform::Value coreOptions(const std::string& apiKey = "test-core-api-key") {
    return platform::Value::dictionary(
        {{"VODEZU_APP_ID", "1:123456789:ios:0a1b2c3d4e5f"}, {"BUNDLE_ID", kBundleId}, {"API_KEY", apiKey}});
}

// Which stand-ins a road's runs talk to.
struct RoadServices {
    bool site = true;
    bool push = true;
    bool kits = false;
    bool logs = false;
};

class RoadFixture : public ::testing::Test {
protected:
    // `name` names the temporary folder.
    explicit RoadFixture(std::string name, RoadServices services = {}) : name_(std::move(name)), services_(services) {}

    void SetUp() override {
        std::string pattern = "/tmp/" + name_ + "-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        if (services_.site)
            site_ = std::make_unique<tesmar_demo::DemoSite>(Tesmar::Strings::Endpoint::siteHost, dir_.string());
        if (services_.push) push_ = tesmar_demo::PushServiceStandIn::secure(dir_.string());
        if (services_.kits) kits_ = tesmar_demo::KitServiceStandIn::secure(dir_.string());
        if (services_.logs) logs_ = tesmar_demo::LoglaneServiceStandIn::secure(dir_.string());
    }
    void TearDown() override {
        logs_.reset();
        kits_.reset();
        push_.reset();
        site_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::filesystem::path device() const { return dir_ / "device"; }
    std::filesystem::path bundlePath() const { return dir_ / "bundle"; }

    // Writes the bundle afresh; nullopt leaves Config.json or the core's options file out.
    std::string writeBundle(const platform::Value& info = appInfo(),
                            const std::optional<std::string>& config = siteConfig(),
                            const std::optional<platform::Value>& options = coreOptions()) {
        std::filesystem::path b = bundlePath();
        std::filesystem::remove_all(b);
        std::filesystem::create_directories(b);
        EXPECT_TRUE(platform::plist::writeFile(info, (b / "Info.plist").string()).ok());
        if (options) {
            EXPECT_TRUE(platform::plist::writeFile(*options, (b / "ZazeraDazudud-Uvoz.plist").string()).ok());
        }
        if (config) std::ofstream(b / "Config.json") << *config;
        return b.string();
    }

    // A device on which the push client registered `player` in an earlier launch.
    std::string deviceWithPlayer(const std::string& player) {
        std::filesystem::path prefs = device() / "Library" / "Preferences";
        std::filesystem::create_directories(prefs);
        auto stored =
            platform::Value::dictionary({{"VD_APP_ID", Tesmar::Strings::VezEduduz::appId}, {"VD_PLAYER_ID", player}});
        EXPECT_TRUE(platform::plist::writeFile(stored, (prefs / (std::string(kBundleId) + ".plist")).string()).ok());
        return device().string();
    }

    // Runs tesmar-sim on `bundle` with `script`, connected to and trusting the road's stand-ins. With
    // `answer`, the script goes to stdin and the answers to the lines printed follow it.
    SimRun runRoad(const std::string& script, const std::string& bundle, const std::vector<std::string>& extra = {},
                   const SimAnswer& answer = nullptr) {
        auto path = dir_ / "script.txt";
        std::ofstream(path) << script;
        std::vector<std::string> args = {"--bundle", bundle};
        if (!answer) args.insert(args.end(), {"--script", path.string()});
        if (onDevice_) args.insert(args.end(), {"--device-root", device().string()});
        std::vector<std::string> roots;
        auto reach = [&](const auto& service) {
            if (!service) return;
            auto [from, to] = service->connectToEntry();
            args.insert(args.end(), {"--connect-to", from + "=" + to});
            roots.push_back(service->rootCertificatePath());
        };
        reach(site_);
        reach(push_);
        reach(kits_);
        reach(logs_);
        for (const auto& root : roots) args.insert(args.end(), {"--ca", root});
        args.insert(args.end(), settle_.begin(), settle_.end());
        args.insert(args.end(), extra.begin(), extra.end());
        return answer ? runSim(args, script, std::chrono::seconds(120), answer) : runSim(args);
    }

    std::filesystem::path dir_;
    std::unique_ptr<tesmar_demo::DemoSite> site_;
    std::unique_ptr<tesmar_demo::PushServiceStandIn> push_;
    std::unique_ptr<tesmar_demo::KitServiceStandIn> kits_;
    std::unique_ptr<tesmar_demo::LoglaneServiceStandIn> logs_;
    // How long a run waits for quiet after each command.
    std::vector<std::string> settle_ = {"--settle-ms", "150", "--settle-timeout", "20"};
    // Without it tesmar-sim makes a fresh device for every run.
    bool onDevice_ = true;

private:
    std::string name_;
    RoadServices services_;
};

// The events named `name`, in order.
inline std::vector<platform::Value> eventsNamed(const std::vector<platform::Value>& seen, const std::string& name) {
    std::vector<platform::Value> out;
    for (const auto& e : seen)
        if (e["event"] == platform::Value(name)) out.push_back(e);
    return out;
}

// The first event named `name`; nullptr when there is none.
inline const platform::Value* firstEvent(const std::vector<platform::Value>& seen, const std::string& name) {
    for (const auto& e : seen)
        if (e["event"] == platform::Value(name)) return &e;
    return nullptr;
}

}  // namespace host_test
