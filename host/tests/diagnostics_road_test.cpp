// The app core's diagnostics road through tesmar-sim against the log service stand-in: the report
// made at launch is uploaded and its file removed; a failed upload keeps the file for the next launch,
// which sends the same install string and the leftovers newest first; six failures end the sending.
#include <gtest/gtest.h>
#include <link.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/LoglaneServiceStandIn.h"
#include "host/tests/RoadFixture.h"
#include "testing/TestHttpServer.h"
#include "zidedova_core/diagnostics/ZDVDiagnosticsMessages.h"

namespace {

using platform::Bytes;
using platform::Value;
using tesmar_demo::LoglaneServiceStandIn;
using tesmar_testing::Reply;
using namespace host_test;
using namespace zidedova;
namespace fs = std::filesystem;

constexpr const char* kLogs = "Library/Caches/ZDVLoglaneLogger";

struct Report {
    int64_t eventTime = 0;
    std::string installString;
    int32_t linkedFrameworks = -2;
};

class DiagnosticsRoad : public RoadFixture {
protected:
    DiagnosticsRoad() : RoadFixture("diagnostics-road", {.site = false, .push = false, .logs = true}) {}

    // One bundle for the whole test: a test may add files to it between runs.
    void SetUp() override {
        RoadFixture::SetUp();
        // The intranet site is not served here: only the diagnostics road matters.
        writeBundle(Value::dictionary({{"CFBundleIdentifier", kBundleId}, {"UIMainStoryboardFile", "Main"}}),
                    "{\"base_url\": \"https://intranet.invalid/\", \"push_notifications_enabled\": \"false\", "
                    "\"base_url_home_host\": \"intranet.invalid\"}");
    }

    SimRun run(const std::string& script, const std::vector<std::string>& extra = {}) {
        return runRoad(script, bundlePath().string(), extra);
    }

    // The reports of every upload so far, in upload order (one file per upload).
    std::vector<std::vector<Report>> uploads() {
        std::vector<std::vector<Report>> out;
        for (const auto& upload : logs_->uploads()) {
            EXPECT_EQ(upload.header("Content-Encoding"), "gzip");
            std::string body = LoglaneServiceStandIn::uncompressedBody(upload);
            auto request = NANOMakeFromBuffer<LLNPBLogRequest>(Bytes(body.begin(), body.end()));
            EXPECT_TRUE(request);
            std::vector<Report> reports;
            if (!request) {
                out.push_back(reports);
                continue;
            }
            EXPECT_EQ(NANOGetInt32(*request, LLNPBLogRequest::log_source), 137);
            auto files =
                NANOGetArray(*request, LLNPBLogRequest::serialized_log_events).value_or(std::vector<NANOElement>{});
            for (const auto& file : files) {
                const Bytes& bytes = std::get<Bytes>(file);
                for (size_t at = 0; at < bytes.size();) {
                    uint32_t length = 0;
                    for (int shift = 0; at < bytes.size(); shift += 7) {
                        uint8_t b = bytes[at++];
                        length |= uint32_t(b & 0x7F) << shift;
                        if (!(b & 0x80)) break;
                    }
                    auto event = NANOMakeFromBuffer<LLNPBLogEvent>(
                        Bytes(bytes.begin() + long(at), bytes.begin() + long(at + length)));
                    at += length;
                    EXPECT_TRUE(event);
                    if (!event) continue;
                    auto* ext = static_cast<NANOString*>(event->messageInfo()->fields[LLNPBLogEvent::source_extension]);
                    EXPECT_TRUE(ext);
                    if (!ext) continue;
                    auto config =
                        NANOMakeFromBuffer<ZDVPBICoreConfiguration>(Bytes(ext->bytes, ext->bytes + ext->length));
                    EXPECT_TRUE(config);
                    if (!config) continue;
                    reports.push_back({NANOGetInt64(*event, LLNPBLogEvent::event_time_ms),
                                       NANOGetString(*config, ZDVPBICoreConfiguration::install_string).value_or(""),
                                       NANOGetInt32(*config, ZDVPBICoreConfiguration::linked_framework_count)});
                }
            }
            out.push_back(reports);
        }
        return out;
    }

    static long filesLeft(const SimRun& r) {
        for (const auto& e : simEvents(r))
            if (e["event"] == Value("files") && e["dir"] == Value(kLogs)) return long(e["count"].integerOr(-1));
        return -1;
    }
};

TEST_F(DiagnosticsRoad, LaunchUploadsTheReportAndTheFileIsGone) {
    SimRun r = run("wait 1\nfiles " + std::string(kLogs) + "\nquit\n");
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto reports = uploads();
    ASSERT_EQ(reports.size(), 1u) << allOutput(r);
    ASSERT_EQ(reports[0].size(), 1u);
    EXPECT_EQ(reports[0][0].installString.size(), 36u);
    EXPECT_EQ(filesLeft(r), 0) << allOutput(r);
}

TEST_F(DiagnosticsRoad, AFailedUploadKeepsTheFileForTheNextLaunchWithTheSameInstallString) {
    logs_->script({Reply::withStatus(500)});
    SimRun first = run("wait 1\nfiles " + std::string(kLogs) + "\nquit\n");
    ASSERT_EQ(first.status, 0) << allOutput(first);
    ASSERT_EQ(logs_->uploads().size(), 1u);
    EXPECT_EQ(filesLeft(first), 1) << allOutput(first);
    bool listed = false;
    for (const auto& e : simEvents(first))
        if (e["event"] == Value("file") && e["path"].stringOr("").rfind(std::string(kLogs) + "/orchard/137/", 0) == 0) {
            listed = true;
            EXPECT_EQ(e["mode"], Value("0600"));
            EXPECT_GT(e["size"].integerOr(0), 100);
        }
    EXPECT_TRUE(listed) << allOutput(first);

    logs_->clearScript();
    SimRun second = run("wait 1\nfiles " + std::string(kLogs) + "\nquit\n");
    ASSERT_EQ(second.status, 0) << allOutput(second);
    auto reports = uploads();
    ASSERT_EQ(reports.size(), 3u) << allOutput(second);
    // The relaunch's own file goes first, then the one left over.
    ASSERT_EQ(reports[1].size(), 1u);
    ASSERT_EQ(reports[2].size(), 1u);
    EXPECT_GT(reports[1][0].eventTime, reports[2][0].eventTime);
    EXPECT_EQ(reports[2][0].eventTime, reports[0][0].eventTime);
    EXPECT_EQ(reports[1][0].installString, reports[0][0].installString);
    EXPECT_EQ(reports[2][0].installString, reports[0][0].installString);
    EXPECT_EQ(filesLeft(second), 0) << allOutput(second);
}

// The send loop's timer runs from start-up: the failed launch upload goes again 15 minutes after launch.
TEST_F(DiagnosticsRoad, AFailedUploadIsRetriedFifteenMinutesAfterLaunch) {
    logs_->script({Reply::withStatus(500), Reply::withStatus(200)});
    std::string files = "files " + std::string(kLogs) + "\n";
    SimRun r =
        run("wait 1\n" + files + "wait 898\n" + files + "wait 2\nwait 1\n" + files + "quit\n", {"--clock", "manual"});
    ASSERT_EQ(r.status, 0) << allOutput(r);
    std::vector<long> counts;
    for (const auto& e : simEvents(r))
        if (e["event"] == Value("files")) counts.push_back(long(e["count"].integerOr(-1)));
    EXPECT_EQ(counts, (std::vector<long>{1, 1, 0})) << allOutput(r);
    EXPECT_EQ(logs_->uploads().size(), 2u);
}

TEST_F(DiagnosticsRoad, AfterSixFailuresNothingMoreIsSent) {
    logs_->script({Reply::withStatus(500)});
    std::string script = "wait 0.5\n";
    for (int i = 0; i < 7; ++i) script += "background\nwait 0.5\nforeground\nwait 0.2\n";
    script += "files " + std::string(kLogs) + "\nquit\n";
    SimRun r = run(script);
    ASSERT_EQ(r.status, 0) << allOutput(r);
    EXPECT_EQ(logs_->uploads().size(), 6u) << allOutput(r);
    EXPECT_EQ(filesLeft(r), 1) << allOutput(r);
}

// A shared object the test process has loaded whose file name starts with `prefix`; empty when none.
std::string loadedObject(const std::string& prefix) {
    struct Search {
        std::string prefix, found;
    } search{prefix, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (s->found.empty() && fs::path(name).filename().string().rfind(s->prefix, 0) == 0) s->found = name;
            return 0;
        },
        &search);
    return search.found;
}

// The images the device feeds at boot are those the process really loaded: a shared object loaded from
// inside the app's bundle is an embedded framework, so the uploaded report counts one linked framework;
// the executable and the system's images alone count none.
TEST_F(DiagnosticsRoad, TheReportCountsTheFrameworksTheAppLoadedFromItsBundle) {
    std::string zlib = loadedObject("libz.so");
    if (zlib.empty()) GTEST_SKIP() << "zlib is not loaded as a shared object here";
    fs::path framework = fs::path("Frameworks") / "Kit.framework" / "Kit";
    fs::create_directories((dir_ / "bundle" / framework).parent_path());
    fs::copy_file(zlib, dir_ / "bundle" / framework);

    SimRun plain = run("wait 1\nquit\n");  // also puts the bundle, framework included, on the device
    ASSERT_EQ(plain.status, 0) << allOutput(plain);

    // The copy stands in for zlib itself, so the program runs as before with the bundle's file loaded.
    std::string preload = (dir_ / "device" / "Bundle" / framework).string();
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string savedAsan = asan ? asan : "";
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("ASAN_OPTIONS", (savedAsan + (asan ? ":" : "") + "verify_asan_link_order=0").c_str(), 1);
    SimRun loaded = run("wait 1\nquit\n");
    unsetenv("LD_PRELOAD");
    if (asan)
        setenv("ASAN_OPTIONS", savedAsan.c_str(), 1);
    else
        unsetenv("ASAN_OPTIONS");
    ASSERT_EQ(loaded.status, 0) << allOutput(loaded);

    auto reports = uploads();
    ASSERT_EQ(reports.size(), 2u) << allOutput(loaded);
    ASSERT_EQ(reports[0].size(), 1u);
    ASSERT_EQ(reports[1].size(), 1u);
    EXPECT_EQ(reports[0][0].linkedFrameworks, 0);
    EXPECT_EQ(reports[1][0].linkedFrameworks, 1);
}

}  // namespace
