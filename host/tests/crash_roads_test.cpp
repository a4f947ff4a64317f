// The crash reporter's road end to end through tesmar-sim: a launch asks the kit service for its
// settings and registers; a crash ends the run by its signal and leaves a report; the next launch on
// the same device sends it to the kit service and deletes it, or keeps it while the service fails.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crash_reporter/CrashCapture.h"
#include "crash_reporter/CrashReport.h"
#include "host/tests/RoadFixture.h"
#include "kit_platform/Identifiers.h"
#include "kit_platform/KitService.h"
#include "kit_platform/KitSettings.h"
#include "platform/foundation/JSON.h"
#include "testing/TestHttpServer.h"

namespace {

using platform::Value;
using namespace host_test;
namespace fs = std::filesystem;

constexpr const char* kAPIKey = "crash-roads-key";

class CrashRoads : public RoadFixture {
protected:
    CrashRoads() : RoadFixture("crash-roads", {.kits = true}) {}

    // With `answer`, the script goes to stdin and the answers to the lines printed follow it.
    SimRun run(const std::string& script, bool dataCollection = true, const SimAnswer& answer = nullptr) {
        Value verira = Value::dictionary({{"APIKey", kAPIKey}});
        if (!dataCollection) verira.set("AutomaticDataCollectionEnabled", false);
        Value info = appInfo(
            Value::dictionary({{"CFBundleShortVersionString", "4.2"}, {"CFBundleVersion", "420"}, {"Verira", verira}}));
        return runRoad(script, writeBundle(info, siteConfig(false), coreOptions("core-key")), {}, answer);
    }

    // Waits until the kit settings the app keeps on the device say the app is registered: the launch then
    // has asked for them, registered, and kept the answer for the next launch. Watches the folder for the
    // file's writes rather than polling it.
    bool waitForRegisteredSettings(std::chrono::seconds timeout) {
        fs::path cache = device() / "Library/Caches" / verira::kVeriraDirectoryName / verira::kSettingsFileName;
        std::error_code ec;
        fs::create_directories(cache.parent_path(), ec);
        int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (watch < 0 || inotify_add_watch(watch, cache.parent_path().c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
            if (watch >= 0) close(watch);
            return false;
        }
        auto deadline = std::chrono::steady_clock::now() + timeout;
        bool registered = false;
        for (;;) {
            std::ifstream in(cache);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            auto kept = platform::json::read(text);
            registered = kept && kept.value()["settings"]["app_status"] == Value("known");
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (registered || left.count() <= 0) break;
            pollfd changed{watch, POLLIN, 0};
            poll(&changed, 1, static_cast<int>(left.count()));
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
        }
        close(watch);
        return registered;
    }

    fs::path reports() const { return device() / "Library/Caches/com.dodoredized/reports"; }
    std::vector<fs::path> reportFiles() const {
        std::vector<fs::path> out;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(reports(), ec)) out.push_back(entry.path());
        return out;
    }
    std::string installationId() const {
        std::ifstream in(device() / "Library/Application Support/io.verira/installation-id");
        std::string id;
        std::getline(in, id);
        return id;
    }
};

uint64_t address(const Value& text) { return std::stoull(text.stringOr("0"), nullptr, 16); }

TEST_F(CrashRoads, ACrashIsSentOnTheNextLaunchAndThenDeleted) {
    if (dodoredized::kSanitizerBuild) GTEST_SKIP() << "the sanitizer owns the fatal signals in this build";
    // The crash comes once the launch's settings and registration are done and kept, however long they take:
    // here the service is slow to answer, as on a busy machine.
    kits_->script("GET settings",
                  {tesmar_testing::Reply::json(
                       R"({"app_status": "new", "cache_duration": 3600, "features": {"crash_reporting": true}})")
                       .after(std::chrono::milliseconds(300))});
    bool settled = false, crashSent = false;
    SimRun crashed = run("", true, [&](const std::string&) -> std::string {
        if (crashSent) return "";
        crashSent = true;
        settled = waitForRegisteredSettings(std::chrono::seconds(30));
        return "crash segv\n";
    });
    EXPECT_TRUE(settled) << "the launch did not keep registered kit settings";
    ASSERT_EQ(crashed.signal, SIGSEGV) << allOutput(crashed);
    auto seen = simEvents(crashed);
    const Value* trigger = firstEvent(seen, "crash.trigger");
    ASSERT_NE(trigger, nullptr) << allOutput(crashed);

    // The launch before the crash asked for the settings and registered the new app.
    auto settings = kits_->settingsRequests();
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(settings[0].path, std::string("/v1/apps/") + kBundleId + "/settings");
    EXPECT_EQ(settings[0].queryItem("installation_id"), installationId());
    EXPECT_EQ(settings[0].header(verira::kAPIKeyHeader), kAPIKey);
    auto registrations = kits_->registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_EQ(platform::json::read(registrations[0].body).valueOr(Value()),
              Value::dictionary({{"bundle_id", kBundleId},
                                 {"installation_id", installationId()},
                                 {"display_version", "4.2"},
                                 {"build_version", "420"}}));

    auto files = reportFiles();
    ASSERT_EQ(files.size(), 1u);
    std::string reportId = files[0].stem().string();
    EXPECT_TRUE(kits_->acceptedReports().empty());

    SimRun next = run("wait 1\nquit\n");
    ASSERT_EQ(next.status, 0) << allOutput(next);
    auto nextSeen = simEvents(next);
    const Value* sent = firstEvent(nextSeen, "crash.report.sent");
    ASSERT_NE(sent, nullptr) << allOutput(next);
    EXPECT_EQ((*sent)["report_id"], Value(reportId));
    EXPECT_TRUE(reportFiles().empty()) << "the sent report is deleted";

    auto uploads = kits_->reportUploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].path, std::string("/v1/apps/") + kBundleId + "/reports");
    EXPECT_EQ(uploads[0].header(verira::kAPIKeyHeader), kAPIKey);
    auto accepted = kits_->acceptedReports();
    ASSERT_EQ(accepted.size(), 1u);
    const Value& report = accepted[0];
    EXPECT_EQ(report["report_id"], Value(reportId));
    EXPECT_EQ(report["installation_id"], Value(installationId()));
    EXPECT_TRUE(report["execution_id"].isString());
    EXPECT_EQ(report["signal"], Value(SIGSEGV));
    EXPECT_EQ(report["signal_name"], Value("SIGSEGV"));
    EXPECT_EQ(report["fault_address"], Value("0x10"));
    EXPECT_TRUE(report["exception"].isNull());
    EXPECT_NEAR(report["time"].doubleOr(0), static_cast<double>(::time(nullptr)), 300);
    uint64_t start = address((*trigger)["function_start"]), end = address((*trigger)["function_end"]);
    ASSERT_LT(start, end);
    bool inside = false;
    for (const auto& frame : *report["frames"].asArray())
        inside = inside || (address(frame) >= start && address(frame) < end);
    EXPECT_TRUE(inside) << "no frame in the crashing function [" << (*trigger)["function_start"].stringOr("") << ", "
                        << (*trigger)["function_end"].stringOr("")
                        << "): " << platform::json::write(report["frames"]).valueOr("");
    bool program = false;
    for (const auto& image : *report["images"].asArray())
        program = program || (image["name"].stringOr("").find("tesmar-sim") != std::string::npos &&
                              address(image["load_address"]) <= start);
    EXPECT_TRUE(program) << "the program is not among the images";
    // The second launch reused the cached settings: nothing asked, nothing registered again.
    EXPECT_EQ(kits_->settingsRequests().size(), 1u);
    EXPECT_EQ(kits_->registrations().size(), 1u);
}

TEST_F(CrashRoads, AReportTheServiceRefusesStaysForTheLaunchAfter) {
    if (dodoredized::kSanitizerBuild) GTEST_SKIP() << "the sanitizer owns the fatal signals in this build";
    SimRun crashed = run("crash exception\n");
    ASSERT_EQ(crashed.signal, SIGABRT) << allOutput(crashed);
    ASSERT_EQ(reportFiles().size(), 1u);
    std::string reportId = reportFiles()[0].stem().string();

    kits_->script("POST reports", {tesmar_testing::Reply::withStatus(503)});
    SimRun refused = run("wait 1\nquit\n");
    ASSERT_EQ(refused.status, 0) << allOutput(refused);
    EXPECT_EQ(firstEvent(simEvents(refused), "crash.report.sent"), nullptr);
    EXPECT_GE(kits_->reportUploads().size(), 1u);
    EXPECT_EQ(reportFiles().size(), 1u) << "kept for the next launch";

    kits_->clearScript("POST reports");
    SimRun next = run("wait 1\nquit\n");
    ASSERT_EQ(next.status, 0) << allOutput(next);
    auto nextSeen = simEvents(next);
    const Value* sent = firstEvent(nextSeen, "crash.report.sent");
    ASSERT_NE(sent, nullptr) << allOutput(next);
    EXPECT_EQ((*sent)["report_id"], Value(reportId));
    EXPECT_TRUE(reportFiles().empty());
    auto accepted = kits_->acceptedReports();
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0]["signal_name"], Value("SIGABRT"));
    EXPECT_EQ(accepted[0]["exception"],
              Value::dictionary({{"type", "std::runtime_error"}, {"message", "tesmar-sim: a crash by exception"}}));
}

TEST_F(CrashRoads, WithDataCollectionOffNoKitStartsAndNothingIsSent) {
    // A report left by an earlier launch, while collection was still on.
    fs::create_directories(reports());
    {
        uintptr_t frames[] = {0x1000};
        dodoredized::CrashFacts facts;
        facts.reportIdentifier = "EARLIER";
        facts.installationIdentifier = "I";
        facts.executionIdentifier = "E";
        facts.seconds = 1800000000;
        facts.signal = SIGSEGV;
        facts.frames = frames;
        facts.frameCount = 1;
        std::FILE* file = std::fopen((reports() / "EARLIER.crash").c_str(), "w");
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(dodoredized::writeCrashReport(fileno(file), facts));
        std::fclose(file);
    }
    SimRun r = run("wait 0.5\nquit\n", false);
    ASSERT_EQ(r.status, 0) << allOutput(r);
    auto seen = simEvents(r);
    EXPECT_EQ(firstEvent(seen, "kit.start"), nullptr) << allOutput(r);
    EXPECT_EQ(firstEvent(seen, "crash.report.sent"), nullptr);
    EXPECT_EQ(kits_->server().requestCount(), 0u);
    EXPECT_EQ(reportFiles().size(), 1u);

    if (dodoredized::kSanitizerBuild) return;
    // Nor is a crash captured.
    SimRun crashed = run("crash segv\n", false);
    EXPECT_EQ(crashed.signal, SIGSEGV);
    EXPECT_EQ(reportFiles().size(), 1u);
    EXPECT_EQ(kits_->server().requestCount(), 0u);
}

}  // namespace
