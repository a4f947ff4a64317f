// The diagnostics logger against the log service stand-in: uploads, failures and retries, ordering,
// concurrent cycles, the send loop on a manual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "demo/LoglaneServiceStandIn.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "testing/FullDisk.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestHttpServer.h"
#include "zidedova_core/diagnostics/ZDVLoglaneLogger.h"
#include "zidedova_core/diagnostics/internal/ZDVLoglaneLoggerTestAccess.h"
#include "zidedova_core/diagnostics/tests/LoglaneFiles.h"
#include "zidedova_core/utilities/tests/LogCapture.h"

namespace zidedova {
namespace {

using platform::Bytes;
using platform::dispatch::MainLoop;
using tesmar_demo::LoglaneServiceStandIn;
using tesmar_testing::Reply;

class LoglaneLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        logger = ZDVLoglaneLogger::make();
        logger->setServerURL(*platform::URL::string(service.logURL()));
        // Reachability reports on the main loop; then the first send is scheduled.
        ASSERT_TRUE(
            MainLoop::shared().runUntil([&] { return ZDVLoglaneLoggerTestAccess::sendScheduled(*logger); }, 20));
    }
    void TearDown() override {
        if (logger) ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
        logger.reset();
        MainLoop::shared().runUntilIdle();
    }

    LLNPBLogEvent& event(int64_t time) {
        events.emplace_back(std::make_unique<LLNPBLogEvent>());
        NANOSetInt64(*events.back(), LLNPBLogEvent::event_time_ms, time);
        return *events.back();
    }

    // Flushes and pumps the main loop until the cycle's completion has been called.
    void flushAndWait() {
        auto done = std::make_shared<std::atomic<int>>(0);
        logger->flushWithCompletionHandler([done] { ++*done; });
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return done->load() > 0; }, 20));
        ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
        EXPECT_EQ(done->load(), 1);
    }

    std::vector<std::string> logFiles() {
        std::vector<std::string> out;
        for (const auto& r : ZDVLoglaneListLogFiles(logger->logDirectory())) out.push_back(r.path);
        return out;
    }

    tesmar_testing::TemporaryDeviceRoot device{"loglane-logger"};
    LoglaneServiceStandIn service;
    std::shared_ptr<ZDVLoglaneLogger> logger;
    std::vector<std::unique_ptr<LLNPBLogEvent>> events;
    testing::LogCapture logs;
};

TEST_F(LoglaneLoggerTest, AFlushUploadsTheFileAsOneGzipLogRequestAndA200DeletesIt) {
    logger->logEvent(event(1), 137, "orchard");
    logger->logEvent(event(2), 137, "orchard");
    ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
    auto files = logFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].find(logger->logDirectory() + "/orchard/137/"), 0u);

    flushAndWait();
    auto uploads = service.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].method, "POST");
    EXPECT_EQ(uploads[0].header("Content-Encoding"), "gzip");
    std::string body = LoglaneServiceStandIn::uncompressedBody(uploads[0]);
    auto request = NANOMakeFromBuffer<LLNPBLogRequest>(Bytes(body.begin(), body.end()));
    ASSERT_TRUE(request);
    EXPECT_EQ(NANOGetInt32(*request, LLNPBLogRequest::log_source), 137);
    EXPECT_GT(NANOGetInt64(*request, LLNPBLogRequest::request_time_ms), 1700000000000);
    EXPECT_FALSE(NANOHasField(*request, LLNPBLogRequest::zwieback_cookie));
    auto client = NANOGetMessage<LLNPBClientInfo>(*request, LLNPBLogRequest::client_info);
    ASSERT_TRUE(client);
    EXPECT_EQ(NANOGetInt32(*client, LLNPBClientInfo::client_type), 3);
    auto ios = NANOGetMessage<LLNPBIosClientInfo>(*client, LLNPBClientInfo::ios_client_info);
    ASSERT_TRUE(ios);
    EXPECT_EQ(NANOGetString(*ios, LLNPBIosClientInfo::application_build), "0");
    EXPECT_EQ(NANOGetString(*ios, LLNPBIosClientInfo::os_version), "17.0");
    EXPECT_FALSE(NANOGetString(*ios, LLNPBIosClientInfo::install_identifier));
    auto serialized = NANOGetArray(*request, LLNPBLogRequest::serialized_log_events).value();
    ASSERT_EQ(serialized.size(), 1u);
    auto recs = test::splitRecords(std::get<Bytes>(serialized[0]));
    ASSERT_EQ(recs.size(), 2u);
    auto second = NANOMakeFromBuffer<LLNPBLogEvent>(recs[1]);
    ASSERT_TRUE(second);
    EXPECT_EQ(NANOGetInt64(*second, LLNPBLogEvent::event_time_ms), 2);   // kept as the caller set it
    EXPECT_TRUE(NANOHasField(*second, LLNPBLogEvent::event_uptime_ms));  // filled in

    EXPECT_TRUE(logFiles().empty());
    EXPECT_EQ(logger->uploadRetriesRemaining(), kZDVLoglaneUploadRetries);
}

TEST_F(LoglaneLoggerTest, FailuresKeepTheFileAndSixInARowStopSending) {
    service.script({Reply::withStatus(500), Reply::drop(), Reply::withStatus(503)});
    logger->logEvent(event(1), 137, "orchard");
    for (int i = 1; i <= 8; ++i) {
        SCOPED_TRACE(i);
        flushAndWait();  // every flush's completion comes, sent or not
        EXPECT_EQ(logFiles().size(), 1u);
        EXPECT_EQ(service.uploads().size(), size_t(std::min(i, 6)));
        EXPECT_EQ(logger->uploadRetriesRemaining(), std::max(6 - i, 0));
    }
    EXPECT_TRUE(logs.contains("I-COR000020"));
    EXPECT_TRUE(logs.contains("with Status Code: 500"));
}

TEST_F(LoglaneLoggerTest, ASuccessRestoresTheRetries) {
    service.script({Reply::withStatus(500), Reply::withStatus(200)});
    logger->logEvent(event(1), 137, "orchard");
    flushAndWait();
    EXPECT_EQ(logger->uploadRetriesRemaining(), 5);
    flushAndWait();
    EXPECT_EQ(logger->uploadRetriesRemaining(), 6);
    EXPECT_TRUE(logFiles().empty());
}

TEST_F(LoglaneLoggerTest, NewestFileFirstAndEmptyFilesAreRemovedUnsent) {
    std::string dir = logger->logDirectory() + "/orchard/137";
    for (int64_t name : {1700000000000, 1700000000500, 1700000000900}) {
        ZDVLoglaneWriter writer(dir, name);
        ASSERT_TRUE(writer.writeLogEvent(event(name)));
    }
    // Newest of all: a file whose first write failed on a full disk, cut back to nothing.
    ASSERT_TRUE(ZDVLoglaneWriter(dir, 1700000001000).isOpen());
    flushAndWait();
    EXPECT_TRUE(logFiles().empty());
    auto uploads = service.uploads();
    ASSERT_EQ(uploads.size(), 3u);
    std::vector<int64_t> order;
    for (const auto& u : uploads) {
        std::string body = LoglaneServiceStandIn::uncompressedBody(u);
        auto request = NANOMakeFromBuffer<LLNPBLogRequest>(Bytes(body.begin(), body.end()));
        ASSERT_TRUE(request);
        auto file = std::get<Bytes>(NANOGetArray(*request, LLNPBLogRequest::serialized_log_events).value().at(0));
        auto first = NANOMakeFromBuffer<LLNPBLogEvent>(test::splitRecords(file).at(0));
        order.push_back(NANOGetInt64(*first, LLNPBLogEvent::event_time_ms));
    }
    EXPECT_EQ(order, (std::vector<int64_t>{1700000000900, 1700000000500, 1700000000000}));
}

TEST_F(LoglaneLoggerTest, OverlappingFlushesRunOneCycleAndPostEachFileOnce) {
    auto gate = tesmar_testing::Gate::make();
    service.script({Reply::withStatus(200).heldBy(gate), Reply::withStatus(200)});
    logger->logEvent(event(1), 137, "orchard");
    auto done = std::make_shared<std::atomic<int>>(0);
    logger->flushWithCompletionHandler([done] { ++*done; });
    ASSERT_TRUE(service.server().waitForRequests(1));
    // While the first upload hangs: more flushes, a reachability change and a new event.
    logger->logEvent(event(2), 137, "orchard");
    logger->flushWithCompletionHandler([done] { ++*done; });
    logger->reachabilityDidChange();
    logger->flushWithCompletionHandler([done] { ++*done; });
    ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
    gate->open();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return done->load() == 3; }, 20));
    ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
    EXPECT_EQ(done->load(), 3);
    EXPECT_EQ(service.uploads().size(), 2u);  // the two files, each once
    EXPECT_TRUE(logFiles().empty());
}

TEST_F(LoglaneLoggerTest, AFileGrowsToJustOverOneMebibyteThenANewOneStarts) {
    Bytes padding(300 * 1024, 0x42);
    for (int i = 0; i < 5; ++i) {
        LLNPBLogEvent& e = event(i);
        NANOSetBytes(e, LLNPBLogEvent::source_extension, padding);
        logger->logEvent(e, 137, "orchard");
    }
    ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
    auto files = logFiles();
    ASSERT_EQ(files.size(), 2u);
    auto first = platform::FileManager::defaultManager().fileSize(files[0]).value();
    EXPECT_GT(first, 1048576u);
    EXPECT_LT(first, 1048576u + padding.size() + 64);
}

// A disk that refuses the log: said once for the source's folder however many events come, the events kept,
// and written in order once it takes them again (here as the app leaves), nothing lost.
TEST_F(LoglaneLoggerTest, RefusedWritesAreSaidOnceKeptAndWrittenWhenTheDiskTakesThem) {
    struct Row {
        const char* name;
        const char* error;
        std::function<std::function<void()>()> refuse;  // answers how to end it
    };
    const std::string logDirectory = logger->logDirectory();
    const Row rows[] = {
        {"a full disk", "File too large",
         []() -> std::function<void()> {
             auto full = std::make_shared<tesmar_testing::FullDisk>();
             return [full] { full->lift(); };
         }},
        {"a file in the folder's place", "Not a directory",
         [&]() -> std::function<void()> {
             std::filesystem::remove_all(logDirectory);
             std::ofstream(logDirectory) << "in the way";
             return [&] { std::filesystem::remove(logDirectory); };
         }},
    };
    const std::string folder = "Library/Caches/ZDVLoglaneLogger/orchard/137";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<platform::Value> said;
        auto token = platform::DeviceEvents::addListener([&](const std::string& name, const platform::Value& fields) {
            if (name.rfind("storage.", 0) == 0)
                said.push_back(platform::Value::dictionary({{"event", name}, {"fields", fields}}));
        });
        auto end = row.refuse();
        for (int64_t time : {1, 2, 3}) logger->logEvent(event(time), 137, "orchard");
        ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
        end();
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0], platform::Value::dictionary(
                               {{"event", "storage.failed"},
                                {"fields", platform::Value::dictionary({{"path", folder}, {"error", row.error}})}}));
        platform::PendingWrites::flushAll();
        EXPECT_EQ(said.back(),
                  platform::Value::dictionary(
                      {{"event", "storage.recovered"}, {"fields", platform::Value::dictionary({{"path", folder}})}}));
        auto files = logFiles();
        ASSERT_EQ(files.size(), 1u);
        std::vector<int64_t> times;
        for (const auto& record : test::splitRecords(test::readFile(files[0])))
            times.push_back(NANOGetInt64(*NANOMakeFromBuffer<LLNPBLogEvent>(record), LLNPBLogEvent::event_time_ms));
        EXPECT_EQ(times, (std::vector<int64_t>{1, 2, 3}));
        flushAndWait();
        EXPECT_TRUE(logFiles().empty());
    }
}

TEST_F(LoglaneLoggerTest, EscapedAccountsStayInsideTheLogDirectory) {
    logger->logEvent(event(1), 137, "../../escape");
    ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
    auto files = logFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].find(logger->logDirectory() + "/%2E%2E%2F%2E%2E%2Fescape/137/"), 0u);
    EXPECT_FALSE(std::filesystem::exists(device.path() + "/Library/escape"));
}

class LoglaneSendLoopTest : public ::testing::Test {
protected:
    std::shared_ptr<platform::dispatch::ManualClock> clock = std::make_shared<platform::dispatch::ManualClock>(1000);
    platform::dispatch::ScopedClock scoped{clock};
    tesmar_testing::TemporaryDeviceRoot device{"loglane-loop"};
    LoglaneServiceStandIn service;
};

TEST_F(LoglaneSendLoopTest, TheTimerSendsFifteenMinutesAfterStartAndAfterEachCycle) {
    auto logger = ZDVLoglaneLogger::make();
    logger->setServerURL(*platform::URL::string(service.logURL()));
    LLNPBLogEvent e;
    logger->logEvent(e, 137, "orchard");
    // Reachability reports on the main loop; then the first send is scheduled.
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return ZDVLoglaneLoggerTestAccess::sendScheduled(*logger); }, 20));
    clock->advance(899);
    ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
    MainLoop::shared().runUntil([] { return false; }, 0.2);
    EXPECT_EQ(service.uploads().size(), 0u);
    clock->advance(2);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return service.uploads().size() == 1; }, 20));

    // The drained cycle scheduled the next one.
    logger->logEvent(e, 137, "orchard");
    ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
    // The upload's answer reaches the logger through the main loop.
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return ZDVLoglaneLoggerTestAccess::sendScheduled(*logger); }, 20));
    clock->advance(901);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return service.uploads().size() == 2; }, 20));
    ZDVLoglaneLoggerTestAccess::drainQueue(*logger);
}

}  // namespace
}  // namespace zidedova
