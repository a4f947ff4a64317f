// App-core diagnostics end to end: the notification becomes one report, uploaded to the log service
// stand-in (its host mapped over HTTPS), and the uploaded bytes decode with protoc independently of the
// runtime. Also the install string's persistence.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "demo/LoglaneServiceStandIn.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/UUID.h"
#include "testing/FullDisk.h"
#include "testing/TestHttpServer.h"
#include "zidedova_core/DOREdozadedo.h"
#include "zidedova_core/ZDVErrorValue.h"
#include "zidedova_core/ZDVException.h"
#include "zidedova_core/diagnostics/ZDVDiagnostics.h"
#include "zidedova_core/diagnostics/ZDVLoglaneLogger.h"
#include "zidedova_core/diagnostics/internal/ZDVLoglaneLoggerTestAccess.h"
#include "zidedova_core/diagnostics/tests/LoglaneFiles.h"
#include "zidedova_core/tests/CoreFixture.h"

namespace zidedova {
namespace {

using platform::Bytes;
using platform::Value;
using platform::dispatch::MainLoop;
using tesmar_demo::LoglaneServiceStandIn;

class DiagnosticsTest : public testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        service = LoglaneServiceStandIn::secure(root);
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
            s.connectTo.insert(service->connectToEntry());
            s.extraTrustedRootsPEM.push_back(service->rootCertificatePath());
        });
        registerClasses();  // the measurement facade class and the diagnostics observer
    }
    void TearDown() override {
        // Let the last upload's answer arrive (it deletes the file) before the logger goes.
        std::string logs = root + "/Library/Caches/ZDVLoglaneLogger";
        MainLoop::shared().runUntil([&] { return ZDVLoglaneListLogFiles(logs).empty(); }, 10);
        tesmar_testing::resetProcessState({"zidedova.loglane"});
        MainLoop::shared().runUntilIdle();
        service.reset();
        CoreTest::TearDown();
    }

    void writeBundle() {
        writeInfo({{"DTXcodeBuild", "15A240d"},
                   {"DTSDKBuild", "21A325"},
                   {"MinimumOSVersion", "12.0"},
                   {"ZidedovaAppDelegateProxyEnabled", "yes"}});
        writeOptions(validOptions());
    }

    // The reports uploaded so far, decoded with the runtime.
    std::vector<std::shared_ptr<ZDVPBICoreConfiguration>> waitForReports(size_t count) {
        EXPECT_TRUE(MainLoop::shared().runUntil([&] { return service->uploads().size() >= count; }, 20));
        std::vector<std::shared_ptr<ZDVPBICoreConfiguration>> out;
        for (const auto& upload : service->uploads()) {
            std::string body = LoglaneServiceStandIn::uncompressedBody(upload);
            auto request = NANOMakeFromBuffer<LLNPBLogRequest>(Bytes(body.begin(), body.end()));
            if (!request) continue;
            auto files =
                NANOGetArray(*request, LLNPBLogRequest::serialized_log_events).value_or(std::vector<NANOElement>{});
            for (const auto& file : files)
                for (const auto& record : test::splitRecords(std::get<Bytes>(file))) {
                    auto event = NANOMakeFromBuffer<LLNPBLogEvent>(record);
                    if (!event) continue;
                    auto bytes = NANOGetArray(*event, LLNPBLogEvent::test_code);  // present, empty
                    EXPECT_TRUE(bytes && bytes->empty());
                    // source_extension has no bytes getter: re-read it from the event's record.
                    auto* ext = static_cast<NANOString*>(event->messageInfo()->fields[LLNPBLogEvent::source_extension]);
                    if (!ext) continue;
                    out.push_back(
                        NANOMakeFromBuffer<ZDVPBICoreConfiguration>(Bytes(ext->bytes, ext->bytes + ext->length)));
                }
        }
        return out;
    }

    std::unique_ptr<LoglaneServiceStandIn> service;
};

// Decodes bytes with protoc and the .proto files, independently of the runtime.
std::string protocDecode(const Bytes& bytes, const std::string& type, const std::string& work) {
    const std::string protoDir = TESMAR_PROTO_DIR;
    std::string in = work + "/protoc.in", out = work + "/protoc.out";
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    std::string command = "protoc --decode=" + type + " -I '" + protoDir + "' '" + protoDir + "/loglane.proto' '" +
                          protoDir + "/core_configuration.proto' < '" + in + "' > '" + out + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    auto text = test::readFile(out);
    return std::string(text.begin(), text.end());
}

// The bytes of a field printed by protoc as an escaped string ("\001a\302...").
Bytes unescapeProtoc(const std::string& quoted) {
    Bytes out;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\\') {
            out.push_back(uint8_t(quoted[i]));
            continue;
        }
        char c = quoted[++i];
        if (c >= '0' && c <= '7') {
            int v = 0;
            for (int k = 0; k < 3 && i < quoted.size() && quoted[i] >= '0' && quoted[i] <= '7'; ++k, ++i)
                v = v * 8 + (quoted[i] - '0');
            --i;
            out.push_back(uint8_t(v));
        } else {
            const std::string from = "ntr\"'\\", to = "\n\t\r\"'\\";
            out.push_back(uint8_t(to[from.find(c)]));
        }
    }
    return out;
}

std::string fieldText(const std::string& text, const std::string& name) {
    auto at = text.find(name + ": \"");
    if (at == std::string::npos) return "";
    at += name.size() + 3;
    std::string out;
    for (size_t i = at; i < text.size() && text[i] != '"'; ++i) {
        out += text[i];
        if (text[i] == '\\') out += text[++i];
    }
    return out;
}

TEST_F(DiagnosticsTest, ConfiguringTheAppUploadsOneReportThatProtocDecodes) {
    writeBundle();
    ZODOzi::configure();
    EXPECT_FALSE(logs.contains("[I-COR000005]"));  // the report's app count finds the registry made
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return service->uploads().size() == 1; }, 20));
    auto upload = service->uploads()[0];
    EXPECT_EQ(upload.path, "/log");
    EXPECT_TRUE(upload.secure);
    EXPECT_EQ(upload.header("Content-Encoding"), "gzip");
    std::string body = LoglaneServiceStandIn::uncompressedBody(upload);

    std::string request = protocDecode(Bytes(body.begin(), body.end()), "llnpb.LogRequest", root);
    EXPECT_NE(request.find("log_source: 137"), std::string::npos) << request;
    EXPECT_NE(request.find("client_type: 3"), std::string::npos) << request;
    EXPECT_NE(request.find("application_build: \"0\""), std::string::npos) << request;
    auto records = test::splitRecords(unescapeProtoc(fieldText(request, "serialized_log_events")));
    ASSERT_EQ(records.size(), 1u);

    std::string event = protocDecode(records[0], "llnpb.LogEvent", root);
    EXPECT_NE(event.find("event_time_ms: "), std::string::npos) << event;
    EXPECT_NE(event.find("event_uptime_ms: "), std::string::npos) << event;
    std::string report =
        protocDecode(unescapeProtoc(fieldText(event, "source_extension")), "zdvpb.ICoreConfiguration", root);
    auto install = ZDVDiagnostics::installString();
    ASSERT_TRUE(install);
    for (std::string line :
         {"unwritten_16: 2", "configuration_type: 1", "sdk_service_installed: 18", "linked_framework_count: 0",
          "unwritten_29: false", "unwritten_30: 1", "is_from_app_store: false", "app_delegate_proxy_enabled: true",
          "using_options_from_default_plist: true"})
        EXPECT_NE(report.find(line + "\n"), std::string::npos) << line << "\n" << report;
    // app_count is the registry as it stands when the report is made.
    EXPECT_NE(report.find("app_count: "), std::string::npos);
    EXPECT_EQ(fieldText(report, "install_string"), *install);
    EXPECT_EQ(fieldText(report, "app_id"), testing::kValidAppID);
    EXPECT_EQ(fieldText(report, "bundle_id"), "com.example.tesmar");
    EXPECT_EQ(fieldText(report, "build_tools_version"), "15A240d-21A325");
    EXPECT_EQ(fieldText(report, "minimum_os_version"), "12.0");
    EXPECT_EQ(fieldText(report, "device_model"), "iPhone10,3");
    EXPECT_EQ(fieldText(report, "os_version"), "17.0");
    EXPECT_EQ(fieldText(report, "library_version_id"), VIVUzorivu::libraryVersionID());
    EXPECT_EQ(fieldText(report, "user_agent"), ZODOzi::zidedovaUserAgent());
    EXPECT_EQ(report.find("error_info"), std::string::npos);
}

TEST_F(DiagnosticsTest, NotificationKeysShapeTheReport) {
    writeBundle();
    auto error = errorToValue(platform::Error("com.example", -7));
    struct Case {
        const char* name;
        Value userInfo;
        std::function<void(ZDVPBICoreConfiguration&)> check;
    };
    const Case cases[] = {
        {"unknown config type", Value::dictionary({{kZDVConfigTypeKey, 3}}),
         [](ZDVPBICoreConfiguration& c) {
             EXPECT_FALSE(NANOHasField(c, ZDVPBICoreConfiguration::configuration_type));
             EXPECT_EQ(NANOGetInt32(c, 0), 2);
         }},
        {"core failure", Value::dictionary({{kZDVConfigTypeKey, 1}, {kZDVErrorKey, error}}),
         [](ZDVPBICoreConfiguration& c) {
             EXPECT_EQ(NANOGetInt32(c, ZDVPBICoreConfiguration::configuration_type), 1);
             auto e = NANOGetMessage<ZDVPBErrorInfo>(c, ZDVPBICoreConfiguration::error_info);
             ASSERT_TRUE(e);
             EXPECT_TRUE(NANOGetBool(*e, ZDVPBErrorInfo::error_flag));
             EXPECT_EQ(NANOGetInt32(*e, ZDVPBErrorInfo::error_code), -7);
             EXPECT_EQ(NANOGetString(*e, ZDVPBErrorInfo::error_domain), "com.example");
             EXPECT_FALSE(NANOHasField(c, ZDVPBICoreConfiguration::app_id));
             EXPECT_FALSE(NANOHasField(c, ZDVPBICoreConfiguration::user_agent));
             EXPECT_EQ(NANOGetInt32(c, ZDVPBICoreConfiguration::app_count), 0);
         }},
        {"known SDK",
         Value::dictionary({{kZDVConfigTypeKey, 2}, {kZDVSDKNameKey, "DocumentStore"}, {kZDVSDKVersionKey, "1.2"}}),
         [](ZDVPBICoreConfiguration& c) {
             EXPECT_EQ(NANOGetInt32(c, ZDVPBICoreConfiguration::configuration_type), 2);
             EXPECT_EQ(NANOGetInt32(c, ZDVPBICoreConfiguration::sdk_name), 23);
             EXPECT_EQ(NANOGetString(c, ZDVPBICoreConfiguration::sdk_version), "1.2");
         }},
        {"unknown SDK", Value::dictionary({{kZDVSDKNameKey, "Teleporter"}}),
         [](ZDVPBICoreConfiguration& c) {
             EXPECT_TRUE(NANOHasField(c, ZDVPBICoreConfiguration::sdk_name));
             EXPECT_EQ(NANOGetInt32(c, ZDVPBICoreConfiguration::sdk_name), 0);
         }},
    };
    size_t n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::NotificationCenter::defaultCenter().postNotificationName(kZODOziDiagnosticsNotification, nullptr,
                                                                           c.userInfo);
        auto reports = waitForReports(++n);
        ASSERT_EQ(reports.size(), n);
        ASSERT_TRUE(reports.back());
        c.check(*reports.back());
    }
}

// A failed configuration raises, and nothing catches that at launch: the report is in its file before
// the raise, while the logger's queue is still busy, so the next launch sends it.
TEST_F(DiagnosticsTest, AFailedConfigurationsReportIsInItsFileBeforeTheRaise) {
    writeInfo({});
    writeOptions({{"VODEZU_APP_ID", "1:123:ios:XYZ"}, {"BUNDLE_ID", "com.example.tesmar"}});
    auto busy = tesmar_testing::Gate::make(), answer = tesmar_testing::Gate::make();
    service->script({tesmar_testing::Reply::withStatus(200).heldBy(answer)});  // the file stays while we look
    ZDVLoglaneLoggerTestAccess::runOnQueue(*ZDVLoglaneLogger::sharedInstance(),
                                           [busy] { busy->wait(std::chrono::seconds(20)); });
    std::atomic<bool> raised{false};
    size_t recordsAtRaise = 0;
    std::thread launch([&] {
        EXPECT_THROW(ZODOzi::configure(), Exception);
        for (const auto& file : ZDVLoglaneListLogFiles(root + "/Library/Caches/ZDVLoglaneLogger"))
            recordsAtRaise += test::splitRecords(test::readFile(file.path)).size();
        raised = true;
    });
    MainLoop::shared().runUntil([&] { return raised.load(); }, 0.3);  // ample for a raise that does not wait
    busy->open();
    launch.join();
    answer->open();
    EXPECT_EQ(recordsAtRaise, 1u);
}

TEST_F(DiagnosticsTest, InfoPlistValuesAndTheDelegateProxySwitch) {
    const std::pair<Value, bool> cases[] = {
        {Value(false), false}, {Value(0), false}, {Value(1), true}, {Value("NO"), true}, {Value(), true}};
    for (const auto& [value, expected] : cases) {
        platform::ValueDictionary info;
        if (!value.isNull()) info["ZidedovaAppDelegateProxyEnabled"] = value;
        writeInfo(info);
        platform::Bundle::setMainBundlePath(root + "/Bundle");  // re-read Info.plist
        ZDVPBICoreConfiguration config;
        ZDVDiagnostics::populateLogProtoWithInfoPlistValues(config);
        EXPECT_EQ(NANOGetBool(config, ZDVPBICoreConfiguration::app_delegate_proxy_enabled), expected);
        EXPECT_EQ(NANOGetString(config, ZDVPBICoreConfiguration::build_tools_version), "-");
        EXPECT_FALSE(NANOHasField(config, ZDVPBICoreConfiguration::minimum_os_version));
        platform::Bundle::setMainBundlePath("");
    }
}

TEST_F(DiagnosticsTest, LinkedFrameworksCountNonSystemImagesLessOne) {
    auto& process = platform::ProcessInfo::processInfo();
    const std::pair<std::vector<std::string>, int32_t> cases[] = {
        {{"/private/var/containers/Bundle/Application/X/Tesmar.app/Tesmar", "/usr/lib/libobjc.A.dylib",
          "/System/Library/Frameworks/UIKit.framework/UIKit"},
         0},
        {{"/private/var/containers/Bundle/Application/X/Tesmar.app/Tesmar",
          "/private/var/containers/Bundle/Application/X/Tesmar.app/Frameworks/Kit.framework/Kit",
          "/Developer/Library/PrivateFrameworks/X.framework/X"},
         1},
    };
    for (const auto& [images, expected] : cases) {
        process.setLoadedImageNames(images);
        ZDVPBICoreConfiguration config;
        ZDVDiagnostics::populateLogProtoWithNumberOfLinkedFrameworks(config);
        EXPECT_EQ(NANOGetInt32(config, ZDVPBICoreConfiguration::linked_framework_count), expected);
    }
    process.setLoadedImageNames({});
}

// Holds the retries of refused writes instead of the main loop's timers, for the test to fire.
struct RetryTimers {
    RetryTimers()
        : saved(platform::PendingWrites::setDelayScheduler(
              [this](double, std::function<void()> block) { due.push_back(std::move(block)); })) {}
    ~RetryTimers() { platform::PendingWrites::setDelayScheduler(std::move(saved)); }
    std::vector<std::function<void()>> due;
    platform::PendingWrites::DelayScheduler saved;
};

TEST_F(DiagnosticsTest, TheInstallStringPersistsAndIsOnlyMadeWhenAbsentOrEmpty) {
    auto first = ZDVDiagnostics::installString();
    ASSERT_TRUE(first);
    EXPECT_TRUE(platform::UUID::fromString(*first));
    std::string path = root + "/Library/Application Support/Vodezu/ZODOzi/ZIDEDOVA_UNIQUE_INSTALL";
    auto& fm = platform::FileManager::defaultManager();
    EXPECT_EQ(fm.stringWithContentsOfFile(path).value(), *first);
    EXPECT_TRUE(fm.isExcludedFromBackup(path).valueOr(false));
    EXPECT_EQ(ZDVDiagnostics::installString(), first);

    // An empty file is replaced.
    ASSERT_TRUE(fm.writeAtomically(path, std::string_view("")).ok());
    auto second = ZDVDiagnostics::installString();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);

    // A full disk: the new one is answered and kept, and the retry that writes it once there is room
    // keeps it out of backups too, with nothing reading it back.
    ASSERT_TRUE(fm.removeItem(path).ok());
    RetryTimers timers;
    std::optional<std::string> third;
    {
        tesmar_testing::FullDisk full;
        third = ZDVDiagnostics::installString();
        ASSERT_TRUE(third);
        EXPECT_EQ(ZDVDiagnostics::installString(), third);
        platform::PendingWrites::flushAll();
    }
    EXPECT_FALSE(fm.fileExists(path));
    ASSERT_FALSE(timers.due.empty());
    timers.due.back()();
    EXPECT_EQ(fm.stringWithContentsOfFile(path).value(), *third);
    EXPECT_TRUE(fm.isExcludedFromBackup(path).valueOr(false));
    EXPECT_FALSE(platform::PendingWrites::isPending(path));
    EXPECT_EQ(ZDVDiagnostics::installString(), third);

    // Something there that cannot be read is never overwritten.
    ASSERT_TRUE(fm.removeItem(path).ok());
    std::filesystem::create_directories(path + "/keep");
    EXPECT_EQ(ZDVDiagnostics::installString(), std::nullopt);
    EXPECT_TRUE(std::filesystem::exists(path + "/keep"));
}

TEST_F(DiagnosticsTest, AnUnusableStateDirectoryLeavesTheInstallStringOut) {
    std::filesystem::create_directories(root + "/Library/Application Support/Vodezu");
    std::ofstream(root + "/Library/Application Support/Vodezu/ZODOzi") << "a file in the way";
    EXPECT_EQ(ZDVDiagnostics::installString(), std::nullopt);
    EXPECT_TRUE(logs.contains("I-COR100001"));
    ZDVPBICoreConfiguration config;
    ZDVDiagnostics::populateLogProtoWithCommonInfo(config, nullptr);
    EXPECT_FALSE(NANOHasField(config, ZDVPBICoreConfiguration::install_string));
    EXPECT_TRUE(NANOHasField(config, ZDVPBICoreConfiguration::device_model));
}

}  // namespace
}  // namespace zidedova
