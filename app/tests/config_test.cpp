// The configuration resource: what each shape of Config.json gives, and which ones say so.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/ASConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "testing/ProcessReset.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

using namespace Tesmar;
namespace fs = std::filesystem;

constexpr const char* kError = "\"ASConfigService :: readConfigFile :: dictionary error\"";

// `json` followed by spaces up to `size` bytes.
std::string padded(const std::string& json, size_t size) { return json + std::string(size - json.size(), ' '); }

struct Case {
    const char* label;
    std::optional<std::string> file;  // nullopt: no resource
    std::optional<std::string> baseURL;
    bool push;
    std::optional<std::string> homeHost;
    bool message;
};

const Case kCases[] = {
    {"all three",
     R"({"base_url":"https://intranet.tesmar.example/","push_notifications_enabled":"true","base_url_home_host":"tesmar.example"})",
     "https://intranet.tesmar.example/", true, "tesmar.example", false},
    {"TRUE in capitals", R"({"base_url":"https://a.example/","push_notifications_enabled":"TRUE"})",
     "https://a.example/", false, std::nullopt, false},
    {"a JSON boolean empties everything", R"({"base_url":"https://a.example/","push_notifications_enabled":true})",
     std::nullopt, false, std::nullopt, false},
    {"an array", R"(["https://a.example/"])", std::nullopt, false, std::nullopt, false},
    {"not JSON", "base_url = https://a.example/", std::nullopt, false, std::nullopt, true},
    {"a bare string", R"("https://a.example/")", std::nullopt, false, std::nullopt, true},
    {"an empty base URL", R"({"base_url":"","base_url_home_host":""})", std::nullopt, false, "", false},
    {"no resource", std::nullopt, std::nullopt, false, std::nullopt, false},
    // Read in pieces up to 1 MB: a file of exactly that size is read whole, one byte more is refused.
    {"exactly 1 MB", padded(R"({"base_url":"https://a.example/"})", 1024 * 1024), "https://a.example/", false,
     std::nullopt, false},
    {"1 MB and a byte", padded(R"({"base_url":"https://a.example/"})", 1024 * 1024 + 1), std::nullopt, false,
     std::nullopt, true},
};

TEST(ConfigResource, EachShapeGivesItsConfiguration) {
    tesmar_testing::TemporaryDeviceRoot device("tesmar-config");
    fs::path bundle = fs::path(device.path()) / "Bundle";
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(bundle);
        fs::create_directories(bundle);
        if (c.file) std::ofstream(bundle / "Config.json") << *c.file;
        platform::Bundle::setMainBundlePath(bundle.string());
        tesmar_testing::resetProcessState({"tesmar.config"});

        std::vector<std::string> lines;
        auto token = platform::DeviceEvents::addListener([&](const std::string& event, const platform::Value& fields) {
            if (event == "console") lines.push_back(fields["text"].stringOr(""));
        });
        int builds = ASConfigService::buildCount();
        auto service = ASConfigService::shared();
        EXPECT_EQ(ASConfigService::shared(), service);
        EXPECT_EQ(ASConfigService::buildCount(), builds + 1);

        EXPECT_EQ(service->baseURL() ? std::optional(service->baseURL()->absoluteString()) : std::nullopt, c.baseURL);
        EXPECT_EQ(service->pushNotificationsEnabled(), c.push);
        EXPECT_EQ(service->baseUrlHomeHost(), c.homeHost);
        EXPECT_EQ(lines, c.message ? std::vector<std::string>{kError} : std::vector<std::string>{});
    }
    tesmar_testing::resetProcessState();
}

TEST(ConfigResource, SettingTheBaseURLKeepsTheOtherFields) {
    ASConfigService service(std::make_shared<ASConfigParser>(),
                            std::make_shared<ASConfig>(platform::URL::string("https://a.example/"), true, "a.example"));
    service.setBaseURL(platform::URL::string("https://b.example/page"));
    EXPECT_EQ(service.config->baseURL->absoluteString(), "https://b.example/page");
    EXPECT_TRUE(service.pushNotificationsEnabled());
    EXPECT_EQ(service.baseUrlHomeHost(), "a.example");
}

}  // namespace
