// Reports of earlier launches: sent and then deleted, kept when the service does not take them,
// damaged ones set aside with a log line, this launch's own file left alone.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash_reporter/CrashCapture.h"
#include "crash_reporter/ReportProcessor.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/DeviceEvents.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

std::string reportText(const char* id) {
    uintptr_t frames[] = {0x1000};
    dodoredized::ImageEntry image;
    image.loadAddress = 0x400000;
    std::snprintf(image.name, sizeof image.name, "app");
    dodoredized::CrashFacts facts;
    facts.reportIdentifier = id;
    facts.installationIdentifier = "I";
    facts.executionIdentifier = "E";
    facts.seconds = 1800000000;
    facts.signal = SIGSEGV;
    facts.frames = frames;
    facts.frameCount = 1;
    facts.images = &image;
    facts.imageCount = 1;
    std::FILE* file = std::tmpfile();
    EXPECT_TRUE(dodoredized::writeCrashReport(fileno(file), facts));
    std::rewind(file);
    std::string text;
    char buffer[1024];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
    return text;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(ReportProcessor, SendsKeepsAndSetsAside) {
    tesmar_testing::TemporaryDeviceRoot device("report-processor");
    fs::path reports = fs::path(device.path()) / "reports", damaged = fs::path(device.path()) / "damaged";
    fs::create_directories(reports);
    auto put = [&](const std::string& name, const std::string& text) { std::ofstream(reports / name) << text; };
    put("accepted.crash", reportText("ACCEPTED"));
    put("refused.crash", reportText("REFUSED"));
    put("partial.crash", reportText("PARTIAL").substr(0, 60));
    put("current.crash", reportText("CURRENT"));
    put("notes.txt", "not a report");

    std::mutex mutex;
    std::vector<std::string> uploaded, sentEvents;
    auto token = platform::DeviceEvents::addListener([&](const std::string& event, const Value& fields) {
        std::lock_guard lock(mutex);
        if (event == "crash.report.sent") sentEvents.push_back(fields["report_id"].stringOr(""));
    });
    auto upload = [&](const Value& body, dodoredized::ReportProcessor::Done done) {
        std::string id = body["report_id"].stringOr("");
        {
            std::lock_guard lock(mutex);
            uploaded.push_back(id);
        }
        if (id == "REFUSED")
            done(platform::Error::withDescription("test", 503, "the service is down"));
        else
            done(platform::Result<void>());
    };
    auto log = std::make_shared<dodoredized::SdkLog>(device.path() + "/sdk.log");
    auto processor = std::make_shared<dodoredized::ReportProcessor>(reports.string(), damaged.string(),
                                                                    (reports / "current.crash").string(), upload, log);
    std::atomic<bool> finished{false};
    dodoredized::ReportProcessor::Outcome outcome;
    processor->start([&](dodoredized::ReportProcessor::Outcome o) {
        outcome = o;
        finished = true;
    });
    ASSERT_TRUE(platform::dispatch::MainLoop::shared().runUntil([&] { return finished.load(); }, 20));

    EXPECT_EQ(outcome.sent, 1);
    EXPECT_EQ(outcome.kept, 1);
    EXPECT_EQ(outcome.setAside, 1);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(uploaded, (std::vector<std::string>{"ACCEPTED", "REFUSED"}));
        EXPECT_EQ(sentEvents, std::vector<std::string>{"ACCEPTED"});
    }
    EXPECT_FALSE(fs::exists(reports / "accepted.crash"));
    EXPECT_TRUE(fs::exists(reports / "refused.crash"));
    EXPECT_TRUE(fs::exists(reports / "current.crash"));
    EXPECT_TRUE(fs::exists(reports / "notes.txt"));
    EXPECT_FALSE(fs::exists(reports / "partial.crash"));
    EXPECT_TRUE(fs::exists(damaged / "partial.crash"));
    std::string logged = readFile(device.path() + "/sdk.log");
    EXPECT_NE(logged.find("Set aside the damaged crash report partial.crash"), std::string::npos) << logged;
    EXPECT_NE(logged.find("Could not send crash report REFUSED"), std::string::npos) << logged;
    EXPECT_NE(logged.find("Sent crash report ACCEPTED"), std::string::npos) << logged;

    // The next launch sends what stayed.
    finished = false;
    processor = std::make_shared<dodoredized::ReportProcessor>(
        reports.string(), damaged.string(), "",
        [](const Value&, dodoredized::ReportProcessor::Done done) { done(platform::Result<void>()); }, log);
    processor->start([&](dodoredized::ReportProcessor::Outcome o) {
        outcome = o;
        finished = true;
    });
    ASSERT_TRUE(platform::dispatch::MainLoop::shared().runUntil([&] { return finished.load(); }, 20));
    EXPECT_EQ(outcome.sent, 2);
    EXPECT_FALSE(fs::exists(reports / "refused.crash"));
}

}  // namespace
