#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/FileManager.h"
#include "platform/systemconfiguration/Reachability.h"
#include "platform/urlsession/URLError.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestCertificates.h"
#include "testing/TestHttpServer.h"
#include "zidedova_core/utilities/ZUTGzip.h"
#include "zidedova_core/utilities/ZUTNetwork.h"
#include "zidedova_core/utilities/ZUTNetworkURLSession.h"
#include "zidedova_core/utilities/tests/LogCapture.h"

namespace zidedova {
namespace {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::Value;
using platform::dispatch::DispatchQueue;
using platform::dispatch::MainLoop;
using tesmar_testing::Gate;
using tesmar_testing::Reply;

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// What one request's completion delivered, and how often it came.
struct Outcome {
    std::mutex mutex;
    int calls = 0;
    bool onExpectedQueue = false;
    std::shared_ptr<const platform::HTTPURLResponse> response;
    std::optional<Bytes> data;
    std::optional<Error> error;

    int count() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

ZUTNetworkCompletionHandler recordInto(const std::shared_ptr<Outcome>& outcome,
                                       std::optional<DispatchQueue> queue = std::nullopt) {
    return [outcome, queue](std::shared_ptr<const platform::HTTPURLResponse> response, std::optional<Bytes> data,
                            std::optional<Error> error) {
        std::lock_guard lock(outcome->mutex);
        ++outcome->calls;
        outcome->onExpectedQueue = queue ? queue->isCurrent() : MainLoop::isMainThread();
        outcome->response = std::move(response);
        outcome->data = std::move(data);
        outcome->error = std::move(error);
    };
}

struct RecordingLogger : ZUTNetworkLoggerDelegate {
    std::mutex mutex;
    std::vector<std::pair<int64_t, int64_t>> lines;  // level, code
    void add(int64_t level, int64_t code) {
        std::lock_guard lock(mutex);
        lines.emplace_back(level, code);
    }
    bool has(int64_t level, int64_t code) {
        std::lock_guard lock(mutex);
        return std::find(lines.begin(), lines.end(), std::make_pair(level, code)) != lines.end();
    }
    void ZUTNetwork_logWithLevel(int64_t l, int64_t c, const std::string&, const platform::ValueArray&) override {
        add(l, c);
    }
    void ZUTNetwork_logWithLevel(int64_t l, int64_t c, const std::string&, const Value&) override { add(l, c); }
    void ZUTNetwork_logWithLevel(int64_t l, int64_t c, const std::string&) override { add(l, c); }
};

class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::sc::ReachabilityTestHooks::reset();
        network = ZUTNetwork::make("127.0.0.1");
        ASSERT_TRUE(network);
        logger = std::make_shared<RecordingLogger>();
        network->setLoggerDelegate(logger);
    }
    void TearDown() override {
        if (network) {
            EXPECT_TRUE(MainLoop::shared().runUntil([&] { return !network->hasUploadInProgress(); }, 10));
        }
        network.reset();
        MainLoop::shared().runUntilIdle();
    }
    bool waitFor(const std::shared_ptr<Outcome>& outcome, int calls = 1) {
        return MainLoop::shared().runUntil([&] { return outcome->count() >= calls; }, 20);
    }
    // Lets any late second report arrive before a test counts calls.
    void settle() {
        MainLoop::shared().runUntil([&] { return !network->hasUploadInProgress(); }, 10);
        MainLoop::shared().runUntilIdle();
    }
    int status(const std::shared_ptr<Outcome>& o) { return o->response ? o->response->statusCode() : 0; }

    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {"tmp", "Library/Application Support"}};
    tesmar_testing::TestHttpServer server;
    std::shared_ptr<ZUTNetwork> network;
    std::shared_ptr<RecordingLogger> logger;
};

TEST_F(NetworkTest, PostSendsTheGzipBodyWithItsHeadersAndAnswersOnTheCallersQueue) {
    server.route("POST", "/upload", Reply::text("stored"));
    const Bytes payload = bytes(std::string(5000, 'x') + "end");
    const size_t compressedLength = ZUTDataByGzippingData(payload)->size();
    DispatchQueue caller("caller");
    auto outcome = std::make_shared<Outcome>();

    auto id =
        network->postURL(*URL::string(server.url("/upload")), payload, caller, false, recordInto(outcome, caller));
    ASSERT_TRUE(id);
    EXPECT_TRUE(id->starts_with("com.zut.network.background-upload-"));
    EXPECT_TRUE(network->hasUploadInProgress());
    ASSERT_TRUE(waitFor(outcome));
    settle();

    EXPECT_TRUE(outcome->onExpectedQueue);
    EXPECT_EQ(outcome->count(), 1);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(status(outcome), 200);
    EXPECT_FALSE(network->hasUploadInProgress());
    auto recorded = server.requestsTo("/upload");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].header("Content-Encoding"), "gzip");
    EXPECT_EQ(recorded[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(recorded[0].header("Content-Length"), std::to_string(compressedLength));
    EXPECT_LT(compressedLength, payload.size());
    EXPECT_EQ(recorded[0].body, std::string(payload.begin(), payload.end()));  // the server inflated it
    EXPECT_TRUE(logger->has(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeUploadingData));
}

TEST_F(NetworkTest, EmptyPayloadGoesOutAsAnEmptyBody) {
    server.route("POST", "/upload", Reply::text("ok"));
    auto outcome = std::make_shared<Outcome>();
    ASSERT_TRUE(network->postURL(*URL::string(server.url("/upload")), {}, std::nullopt, false, recordInto(outcome)));
    ASSERT_TRUE(waitFor(outcome));
    auto recorded = server.requestsTo("/upload");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].header("Content-Length"), "0");
    EXPECT_TRUE(recorded[0].body.empty());
    EXPECT_TRUE(outcome->onExpectedQueue);  // main when no queue is given
}

TEST_F(NetworkTest, AnEmptyURLFailsOnceWithCodeOne) {
    for (bool post : {true, false}) {
        SCOPED_TRACE(post ? "post" : "get");
        auto outcome = std::make_shared<Outcome>();
        auto id = post ? network->postURL(URL(), bytes("x"), std::nullopt, false, recordInto(outcome))
                       : network->getURL(URL(), {}, std::nullopt, false, recordInto(outcome));
        EXPECT_FALSE(id);
        ASSERT_TRUE(waitFor(outcome));
        settle();
        EXPECT_EQ(outcome->count(), 1);
        ASSERT_TRUE(outcome->error);
        EXPECT_EQ(outcome->error->domain, kZUTNetworkErrorDomain);
        EXPECT_EQ(outcome->error->code, ZUTNetworkErrorCodeInvalidURL);
        EXPECT_EQ(outcome->error->userInfo[kZUTNetworkErrorContext], Value("Failed to create network request"));
        EXPECT_FALSE(outcome->response);
    }
    EXPECT_TRUE(logger->has(kZUTNetworkLogLevelWarning, kZUTNetworkMessageCodeRequestCreation));
    EXPECT_FALSE(network->hasUploadInProgress());
}

TEST_F(NetworkTest, GetSendsOnlyTheCallersHeadersAndReturnsTheBody) {
    server.route("GET", "/config", Reply::json("{\"a\":1}"));
    platform::HTTPHeaderFields headers;
    headers.set("X-Api-Key", "secret");
    headers.set("Accept", "application/json");
    auto outcome = std::make_shared<Outcome>();
    ASSERT_TRUE(
        network->getURL(*URL::string(server.url("/config")), headers, std::nullopt, false, recordInto(outcome)));
    ASSERT_TRUE(waitFor(outcome));
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(status(outcome), 200);
    EXPECT_EQ(outcome->data, bytes("{\"a\":1}"));
    auto recorded = server.requestsTo("/config");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].header("X-Api-Key"), "secret");
    EXPECT_EQ(recorded[0].header("Accept"), "application/json");
    EXPECT_FALSE(recorded[0].hasHeader("Content-Encoding"));
    EXPECT_TRUE(logger->has(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeDownloadingData));

    // Not cached: the same GET asks the server again.
    auto again = std::make_shared<Outcome>();
    ASSERT_TRUE(network->getURL(*URL::string(server.url("/config")), headers, std::nullopt, false, recordInto(again)));
    ASSERT_TRUE(waitFor(again));
    EXPECT_EQ(server.requestsTo("/config").size(), 2u);
}

TEST_F(NetworkTest, SomeRedirectsAreNotFollowed) {
    server.route("GET", "/target", Reply::text("arrived"));
    struct Case {
        int status;
        bool followed;
    } cases[] = {{300, false}, {301, false}, {302, false}, {307, false}, {303, true}, {308, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        const std::string path = "/r" + std::to_string(c.status);
        server.route("*", path, Reply::redirect(server.url("/target"), c.status));
        const size_t before = server.requestsTo("/target").size();
        auto outcome = std::make_shared<Outcome>();
        ASSERT_TRUE(network->getURL(*URL::string(server.url(path)), {}, std::nullopt, false, recordInto(outcome)));
        ASSERT_TRUE(waitFor(outcome));
        EXPECT_FALSE(outcome->error);
        EXPECT_EQ(status(outcome), c.followed ? 200 : c.status);
        EXPECT_EQ(server.requestsTo("/target").size() - before, c.followed ? 1u : 0u);
    }
}

TEST_F(NetworkTest, TransferFailuresReachTheCallerEvenAfterAResponse) {
    server.route("GET", "/slow", Reply::text("late").after(std::chrono::seconds(5)));
    server.route("GET", "/big", Reply::streamed(ZUTNetworkURLSession::kMaxDownloadedDataBytes + 1));
    server.route("POST", "/drop", Reply::drop());
    // Cut after the headers: a response arrived, but the body did not.
    auto cutReply = Reply::streamed(200000);
    cutReply.stream->dropAfter = 1000;
    server.route("GET", "/cut", cutReply);

    // Long enough for a loaded machine to see the cut answer's head, short of the slow answer's delay.
    network->setTimeoutInterval(2);
    struct Case {
        const char* path;
        bool post;
        bool hasResponse;
    } cases[] = {{"/slow", false, false}, {"/cut", false, true}, {"/big", false, true}, {"/drop", true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto outcome = std::make_shared<Outcome>();
        auto url = *URL::string(server.url(c.path));
        ASSERT_TRUE(c.post ? network->postURL(url, bytes("p"), std::nullopt, false, recordInto(outcome))
                           : network->getURL(url, {}, std::nullopt, false, recordInto(outcome)));
        ASSERT_TRUE(waitFor(outcome));
        settle();
        EXPECT_EQ(outcome->count(), 1);
        EXPECT_TRUE(outcome->error);
        EXPECT_EQ(outcome->response != nullptr, c.hasResponse);
        EXPECT_FALSE(outcome->data);
    }
    EXPECT_TRUE(logger->has(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeNetworkError));
}

TEST_F(NetworkTest, TimeOutZeroMeansSixtySeconds) {
    server.route("GET", "/a", Reply::text("a").after(std::chrono::milliseconds(300)));
    network->setTimeoutInterval(0);
    auto outcome = std::make_shared<Outcome>();
    ASSERT_TRUE(network->getURL(*URL::string(server.url("/a")), {}, std::nullopt, false, recordInto(outcome)));
    ASSERT_TRUE(waitFor(outcome));
    EXPECT_FALSE(outcome->error);
}

TEST_F(NetworkTest, EveryRequestCompletesExactlyOnceUnderConcurrentCallers) {
    server.route("POST", "/ok", Reply::text("ok"));
    server.route("POST", "/fast-fail", Reply::drop());
    server.route("GET", "/get", Reply::text("g"));

    std::mutex mutex;
    std::map<std::string, int> callsByID;
    std::atomic<int> started{0}, finished{0}, wrongQueue{0};
    constexpr int kThreads = 4, kPerThread = 12;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            DispatchQueue queue("caller-" + std::to_string(t));
            for (int i = 0; i < kPerThread; ++i) {
                // Each request's own ID comes back through a slot its completion can read.
                auto slot = std::make_shared<std::string>();
                auto slotMutex = std::make_shared<std::mutex>();
                auto done = [&, slot, slotMutex, queue](std::shared_ptr<const platform::HTTPURLResponse>,
                                                        std::optional<Bytes>, std::optional<Error>) {
                    if (!queue.isCurrent()) ++wrongQueue;
                    std::string id;
                    {
                        std::lock_guard l(*slotMutex);
                        id = *slot;
                    }
                    std::lock_guard lock(mutex);
                    ++callsByID[id.empty() ? "failed-to-start" : id];
                    ++finished;
                };
                std::optional<std::string> id;
                std::lock_guard l(*slotMutex);  // the completion waits until the ID is recorded
                switch (i % 4) {
                case 0:
                    id = network->postURL(*URL::string(server.url("/ok")), bytes("a"), queue, false, done);
                    break;
                case 1:
                    id = network->postURL(*URL::string(server.url("/fast-fail")), bytes("b"), queue, false, done);
                    break;
                case 2:
                    id = network->getURL(*URL::string(server.url("/get")), {}, queue, false, done);
                    break;
                default:
                    id = network->postURL(URL(), bytes("c"), queue, false, done);
                    break;
                }
                if (id) *slot = *id;
                ++started;
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return finished.load() >= started.load(); }, 30));
    settle();
    EXPECT_EQ(finished.load(), kThreads * kPerThread);
    EXPECT_EQ(wrongQueue.load(), 0);
    std::lock_guard lock(mutex);
    for (const auto& [id, calls] : callsByID)
        if (id != "failed-to-start") {
            EXPECT_EQ(calls, 1) << id;
        }
    EXPECT_EQ(callsByID["failed-to-start"], kThreads * kPerThread / 4);
    EXPECT_FALSE(network->hasUploadInProgress());
}

TEST_F(NetworkTest, BackgroundPostSpoolsItsBodyAndRemovesItAtCompletion) {
    auto gate = Gate::make();
    server.route("POST", "/bg", Reply::text("ok").heldBy(gate));
    const Bytes payload = bytes("background body");
    auto outcome = std::make_shared<Outcome>();
    auto id = network->postURL(*URL::string(server.url("/bg")), payload, std::nullopt, true, recordInto(outcome));
    ASSERT_TRUE(id);
    ASSERT_TRUE(server.waitForRequests(1));

    const std::string directory = ZUTNetworkURLSession::networkDirectoryPath();
    const std::string file = directory + "/ZUTUpload_temp_" + *id;
    auto& files = platform::FileManager::defaultManager();
    ASSERT_TRUE(files.fileExists(file));
    EXPECT_EQ(*files.contentsOfFile(file), *ZUTDataByGzippingData(payload));
    EXPECT_EQ(files.isExcludedFromBackup(file).valueOr(false), true);
    EXPECT_EQ(files.isExcludedFromBackup(directory).valueOr(false), true);

    gate->open();
    ASSERT_TRUE(waitFor(outcome));
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(status(outcome), 200);
    EXPECT_EQ(server.requestsTo("/bg")[0].body, "background body");
    EXPECT_FALSE(files.fileExists(file));
}

TEST_F(NetworkTest, StaleTemporaryFilesArePurgedAfterAnHour) {
    auto session = ZUTNetworkURLSession::make({});
    ASSERT_TRUE(session->ensureTemporaryDirectoryExists());
    const std::string directory = ZUTNetworkURLSession::networkDirectoryPath();
    const std::string file = directory + "/ZUTUpload_temp_left-behind";
    std::ofstream(file) << "old";
    auto& files = platform::FileManager::defaultManager();
    const platform::Date created = *files.creationDate(file);

    session->maybeRemoveTempFiles(directory, 3600, platform::Date{created.timeIntervalSinceReferenceDate + 3599});
    EXPECT_TRUE(files.fileExists(file));
    session->maybeRemoveTempFiles(directory, 3600, platform::Date{created.timeIntervalSinceReferenceDate + 3601});
    EXPECT_FALSE(files.fileExists(file));
}

TEST_F(NetworkTest, ARequestWithoutAURLFailsOnceAtTheSessionLayer) {
    auto session = ZUTNetworkURLSession::make({});
    std::atomic<int> calls{0};
    std::optional<Error> error;
    auto id = session->sessionIDFromAsyncGETRequest(platform::URLRequest(),
                                                    [&](auto, auto, const std::string&, std::optional<Error> e) {
                                                        ++calls;
                                                        error = e;
                                                    });
    EXPECT_FALSE(id);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return calls.load() == 1; }, 5));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(calls.load(), 1);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ZUTNetworkErrorCodeSessionCreation);
    EXPECT_EQ(error->userInfo[kZUTNetworkErrorContext], Value("Cannot create network session"));
}

TEST_F(NetworkTest, RelaunchHandlersAreKeptForOwnSessionsAndCalledOnceOnMain) {
    std::atomic<int> calls{0};
    bool onMain = false;
    auto handler = [&] {
        ++calls;
        onMain = MainLoop::isMainThread();
    };

    // Another library's session: not ours to answer.
    ZUTNetwork::handleEventsForBackgroundURLSessionID("com.other.library.session", handler);
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(calls.load(), 0);

    // Ours, but nothing survived the relaunch to deliver events: answered at once.
    ZUTNetwork::handleEventsForBackgroundURLSessionID("com.zut.network.background-upload-gone", handler);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return calls.load() == 1; }, 5));
    EXPECT_TRUE(onMain);
    EXPECT_FALSE(ZUTNetworkURLSession::sessionFromFetcherMapForSessionID("com.zut.network.background-upload-gone"));

    // A live foreground transfer of ours never reports the end of background events: answered at once.
    auto gate = Gate::make();
    server.route("GET", "/fg", Reply::text("ok").heldBy(gate));
    auto foreground = std::make_shared<Outcome>();
    auto fgID = network->getURL(*URL::string(server.url("/fg")), {}, std::nullopt, false, recordInto(foreground));
    ASSERT_TRUE(fgID);
    ASSERT_TRUE(server.waitForRequests(1));
    ZUTNetwork::handleEventsForBackgroundURLSessionID(*fgID, handler);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return calls.load() == 2; }, 5));
    calls = 1;

    // A live background transfer: answered once its events are done.
    server.route("GET", "/bg", Reply::text("ok").heldBy(gate));
    auto outcome = std::make_shared<Outcome>();
    auto id = network->getURL(*URL::string(server.url("/bg")), {}, std::nullopt, true, recordInto(outcome));
    ASSERT_TRUE(id);
    ASSERT_TRUE(server.waitForRequests(2));
    ZUTNetwork::handleEventsForBackgroundURLSessionID(*id, handler);
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(calls.load(), 1);
    gate->open();
    ASSERT_TRUE(waitFor(outcome));
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return calls.load() == 2; }, 10));
    EXPECT_TRUE(logger->has(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeBackgroundSessionFinished));
    settle();
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(outcome->data, bytes("ok"));
}

TEST_F(NetworkTest, AnUntrustedServerIsRefusedAndReportedOnce) {
    auto pki = tesmar_testing::TestPKI::make("127.0.0.1");
    auto files = tesmar_testing::writeServerFiles(device.path(), pki.leaf, {&pki.intermediate});
    tesmar_testing::TestHttpServer secure(files.certificateChainPath, files.privateKeyPath);
    secure.route("POST", "/upload", Reply::text("never"));
    auto outcome = std::make_shared<Outcome>();
    ASSERT_TRUE(
        network->postURL(*URL::string(secure.url("/upload")), bytes("p"), std::nullopt, false, recordInto(outcome)));
    ASSERT_TRUE(waitFor(outcome));
    settle();
    EXPECT_EQ(outcome->count(), 1);
    ASSERT_TRUE(outcome->error);
    EXPECT_FALSE(outcome->response);
    EXPECT_EQ(secure.requestCount(), 0u);  // nothing was sent to it
    EXPECT_TRUE(logger->has(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeServerTrustChallenge));
    EXPECT_TRUE(logger->has(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeCancelChallenge));
}

TEST_F(NetworkTest, NoCompletionOnceTheUtilityIsGone) {
    auto gate = Gate::make();
    server.route("GET", "/held", Reply::text("late").heldBy(gate));
    auto outcome = std::make_shared<Outcome>();
    ASSERT_TRUE(network->getURL(*URL::string(server.url("/held")), {}, std::nullopt, false, recordInto(outcome)));
    ASSERT_TRUE(server.waitForRequests(1));
    network.reset();
    gate->open();
    ASSERT_TRUE(MainLoop::shared().runUntil([] { return platform::URLSession::tasksInFlight() == 0; }, 10));
    MainLoop::shared().runUntilIdle();
    EXPECT_EQ(outcome->count(), 0);
}

TEST_F(NetworkTest, LoggerDelegateRefusalsAndTheWrittenLine) {
    testing::LogCapture log;
    network->setLoggerDelegate(nullptr);
    EXPECT_TRUE(log.contains("[ZUTNetwork][I-NET900002] Cannot set the network logger delegate"));
    EXPECT_EQ(network->loggerDelegate(), logger);

    struct Case {
        int64_t level;
        std::string message;
        platform::ValueArray contexts;
        std::string line;
    } cases[] = {
        {6, "Note", {Value(5), Value()}, "<Vodezu/Utilities/Network/INFO> Note: 5, (nil)"},
        {3, "Broken", {}, "<Vodezu/Utilities/Network/ERROR> Broken"},
        {4, "", {Value("x")}, "<Vodezu/Utilities/Network/WARNING> (Message was empty): x"},
        {7, "Dbg", {Value("a"), Value("b")}, "<Vodezu/Utilities/Network/DEBUG> Dbg: a, b"},
    };
    for (const auto& c : cases) EXPECT_EQ(ZUTNetwork::composeLogLine(c.level, c.message, c.contexts), c.line);

    // Without a delegate the utility writes its own lines: debug ones only in debug mode.
    auto bare = ZUTNetwork::make("127.0.0.1");
    log.clear();
    bare->ZUTNetwork_logWithLevel(kZUTNetworkLogLevelError, 901017, "Shown", Value("ctx"));
    bare->ZUTNetwork_logWithLevel(kZUTNetworkLogLevelDebug, 900000, "Hidden");
    EXPECT_TRUE(log.contains("[ZUTNetwork][I-NET901017] <Vodezu/Utilities/Network/ERROR> Shown: ctx"));
    EXPECT_FALSE(log.contains("Hidden"));
}

}  // namespace
}  // namespace zidedova
