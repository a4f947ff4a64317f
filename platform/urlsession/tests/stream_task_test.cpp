#include <gtest/gtest.h>

#include <thread>

#include "platform/foundation/Stream.h"
#include "platform/urlsession/tests/SessionTestSupport.h"
#include "testing/ClosedPort.h"
#include "testing/TestHttpServer.h"
#include "testing/TestTcpServer.h"

using namespace urlsession_test;
using tesmar_testing::TestTcpServer;

namespace {

struct ReadResult {
    std::string data;
    bool atEOF = false;
    std::optional<Error> error;
};

using StreamTaskPtr = std::shared_ptr<URLSessionStreamTask>;

int64_t code(const std::optional<Error>& e) { return e ? e->code : 0; }

std::string pattern(size_t size) {
    std::string s(size, '\0');
    tesmar_testing::fillPattern(0, s.data(), size);
    return s;
}

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

using WritePromise = std::shared_ptr<Promise<std::optional<Error>>>;

// The write's error; "unknown" when it was never answered.
std::optional<Error> outcome(const WritePromise& p) {
    auto r = p->wait();
    EXPECT_TRUE(r) << "write not answered";
    return r.value_or(makeURLError(URLErrorCode::Unknown));
}

bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Completion is recorded on the engine thread just after the failed operations are handed out.
bool becomesCompleted(const StreamTaskPtr& task) {
    return eventually([&] { return task->state() == URLSessionTaskState::Completed; });
}

// The in-flight count is process-wide, and the tasks of the previous test's session leave it a moment
// after that test has ended.
bool inFlightBecomes(size_t count) {
    return eventually([&] { return URLSession::tasksInFlight() == count; });
}

// Rows: the connection limit per host of the session, one engine (6) or several (64), whose stream
// connections all ride the first engine.
class StreamTaskTest : public ::testing::TestWithParam<int> {
protected:
    static URLSessionConfiguration configuration() {
        auto c = URLSessionConfiguration::ephemeralSessionConfiguration();
        c.HTTPMaximumConnectionsPerHost = GetParam();
        return c;
    }
    DeviceRoot device;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<URLSession> session = URLSession::sessionWithConfiguration(configuration(), delegate, nullptr);

    ~StreamTaskTest() override { session->invalidateAndCancel(); }

    StreamTaskPtr connect(const TestTcpServer& server) {
        auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
        task->resume();
        return task;
    }

    // Handlers also log to the delegate, so their order against the delegate's callbacks can be checked.
    std::shared_ptr<Promise<ReadResult>> read(const StreamTaskPtr& task, size_t min, size_t max, double timeout = 0) {
        auto done = std::make_shared<Promise<ReadResult>>();
        task->readDataOfMinLength(
            min, max, timeout, [done, d = delegate](Bytes data, bool atEOF, std::optional<Error> e) {
                d->log("read " + (e ? std::to_string(e->code) : std::to_string(data.size())) + (atEOF ? " eof" : ""));
                done->set({std::string(data.begin(), data.end()), atEOF, e});
            });
        return done;
    }
    WritePromise write(const StreamTaskPtr& task, const std::string& data, double timeout = 0) {
        auto done = std::make_shared<Promise<std::optional<Error>>>();
        task->writeData(bytes(data), timeout, [done, d = delegate](std::optional<Error> e) {
            d->log("write " + std::to_string(code(e)));
            done->set(e);
        });
        return done;
    }
    ReadResult readNow(const StreamTaskPtr& task, size_t min, size_t max, double timeout = 0) {
        auto r = read(task, min, max, timeout)->wait();
        EXPECT_TRUE(r) << "read not answered";
        return r.value_or(ReadResult{});
    }
    std::optional<Error> writeNow(const StreamTaskPtr& task, const std::string& data, double timeout = 0) {
        return outcome(write(task, data, timeout));
    }
};

// Reads again from each handler until `total` bytes or the end have come.
struct Collector {
    std::mutex m;
    std::string data;
    Promise<bool> done;

    std::string text() {
        std::lock_guard lock(m);
        return data;
    }
};

void collect(const StreamTaskPtr& task, std::shared_ptr<Collector> into, size_t total) {
    task->readDataOfMinLength(1, 256 * 1024, 0, [task, into, total](Bytes b, bool atEOF, std::optional<Error> e) {
        size_t have;
        {
            std::lock_guard lock(into->m);
            into->data.append(b.begin(), b.end());
            have = into->data.size();
        }
        if (e || atEOF || have >= total) return into->done.set(!e);
        collect(task, into, total);
    });
}

TEST_P(StreamTaskTest, EchoCarriesMegabytesBothWaysExactlyAndCountsThem) {
    TestTcpServer server;
    const std::string payload = pattern(6 * 1024 * 1024 + 123);
    auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
    // Issued before the connection exists: they wait for it.
    auto echoed = std::make_shared<Collector>();
    collect(task, echoed, payload.size());
    auto first = write(task, payload.substr(0, 1000));
    ASSERT_TRUE(inFlightBecomes(0));
    task->resume();
    EXPECT_EQ(URLSession::tasksInFlight(), 1u);
    std::vector<WritePromise> writes{first};
    for (size_t at = 1000; at < payload.size(); at += 2 * 1024 * 1024)
        writes.push_back(write(task, payload.substr(at, 2 * 1024 * 1024)));
    for (auto& w : writes) EXPECT_FALSE(outcome(w));
    ASSERT_EQ(echoed->done.wait(std::chrono::seconds(60)), true);
    EXPECT_TRUE(echoed->text() == payload) << "echo differs from what was sent (" << echoed->text().size() << " bytes)";
    EXPECT_TRUE(server.connection(0).received == payload);
    EXPECT_EQ(task->countOfBytesSent(), int64_t(payload.size()));
    EXPECT_EQ(task->countOfBytesReceived(), int64_t(payload.size()));
    EXPECT_EQ(task->state(), URLSessionTaskState::Running) << "an open stream runs until closed or cancelled";
    EXPECT_EQ(server.connectionCount(), 1u);
}

// Streams share the engine with HTTP transfers; connections made by transfers must leave an open
// stream alone.
TEST_P(StreamTaskTest, HTTPTransfersOfTheSameSessionLeaveAnOpenStreamAlone) {
    TestTcpServer server;
    tesmar_testing::TestHttpServer http;
    http.route("GET", "/x", tesmar_testing::Reply::text("x"));
    auto task = connect(server);
    EXPECT_FALSE(writeNow(task, "before"));
    EXPECT_EQ(readNow(task, 6, 6).data, "before");
    for (int i = 0; i < 3; ++i) {
        Promise<int64_t> done;
        session
            ->dataTaskWithURL(url(http.url("/x")),
                              [&](const Bytes&, auto, std::optional<Error> e) { done.set(code(e)); })
            ->resume();
        EXPECT_EQ(done.wait(), 0);
    }
    EXPECT_FALSE(writeNow(task, "after"));
    EXPECT_EQ(readNow(task, 5, 5).data, "after");
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_P(StreamTaskTest, ConnectToMappingReachesTheLocalServer) {
    TestTcpServer server({.greeting = "mapped"});
    PlatformConfig::update([&](PlatformSettings& s) {
        s.connectTo["chat.tesmar.example:5222"] = "127.0.0.1:" + std::to_string(server.port());
    });
    auto task = session->streamTaskWithHostName("chat.tesmar.example", 5222);
    task->resume();
    EXPECT_EQ(readNow(task, 6, 6).data, "mapped");
}

TEST_P(StreamTaskTest, ReadsAnswerBetweenMinAndMaxInOrder) {
    TestTcpServer server;
    auto task = connect(server);
    ASSERT_TRUE(server.waitForConnections(1));

    // Three bytes are not enough for a read of at least five.
    auto atLeastFive = read(task, 5, 8);
    EXPECT_FALSE(writeNow(task, "abc"));
    ASSERT_TRUE(server.waitForReceived(0, 3));
    EXPECT_FALSE(writeNow(task, "defghijk"));
    auto rest = read(task, 1, 100);
    auto a = atLeastFive->wait();
    ASSERT_TRUE(a);
    EXPECT_GE(a->data.size(), 5u);
    EXPECT_LE(a->data.size(), 8u);
    std::string all = a->data + rest->wait().value_or(ReadResult{}).data;
    while (all.size() < 11) all += readNow(task, 1, 100).data;
    EXPECT_EQ(all, "abcdefghijk");

    // More waiting than a read may take: the read takes at most its maximum, the rest stays for the next.
    server.send(0, "0123456789ABCDEFGHIJ");
    std::string got;
    while (got.size() < 20) {
        auto r = readNow(task, 0, 8);  // minimum 0 still waits for a byte
        ASSERT_FALSE(r.error);
        ASSERT_GE(r.data.size(), 1u);
        ASSERT_LE(r.data.size(), 8u);
        got += r.data;
    }
    EXPECT_EQ(got, "0123456789ABCDEFGHIJ");

    // Reads that ask for nothing sensible fail at once, and the stream goes on.
    EXPECT_EQ(code(readNow(task, 0, 0).error), EINVAL);
    EXPECT_EQ(code(readNow(task, 9, 3).error), EINVAL);
    EXPECT_EQ(readNow(task, 9, 3).error->domain, kPOSIXErrorDomain);
    EXPECT_FALSE(writeNow(task, "ok"));
    EXPECT_EQ(readNow(task, 2, 2).data, "ok");
}

TEST_P(StreamTaskTest, PeerEndGivesTheLastBytesWithEOFThenTheTaskEndsWhenWritesClose) {
    TestTcpServer server({.echo = false, .greeting = "hello", .halfCloseAfterGreeting = true});
    auto task = connect(server);
    auto last = readNow(task, 10, 100);  // fewer than asked: the stream ended
    EXPECT_EQ(last.data, "hello");
    EXPECT_TRUE(last.atEOF);
    EXPECT_FALSE(last.error);
    ASSERT_TRUE(delegate->waitFor("readClosed"));
    auto after = readNow(task, 1, 10);
    EXPECT_TRUE(after.data.empty());
    EXPECT_TRUE(after.atEOF);
    EXPECT_FALSE(after.error);

    // Our side is still open: writes reach the server until we close it.
    EXPECT_FALSE(writeNow(task, "still here"));
    ASSERT_TRUE(server.waitForReceived(0, 10));
    EXPECT_EQ(task->state(), URLSessionTaskState::Running);
    task->closeWrite();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_TRUE(server.waitUntil([](auto& c) { return c[0].peerEnded; }));
    EXPECT_EQ(delegate->snapshot(), (std::vector<std::string>{"read 5 eof", "readClosed", "read 0 eof", "write 0",
                                                              "writeClosed", "complete 0"}));
    EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
    EXPECT_FALSE(task->error());
    EXPECT_EQ(code(readNow(task, 1, 1).error), ENOTCONN) << "a completed task takes no more operations";
}

TEST_P(StreamTaskTest, CloseWriteFlushesQueuedWritesThenHalfClosesAndReadsGoOn) {
    TestTcpServer server({.echo = false, .endWhenPeerEnds = false});
    auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
    auto queued = write(task, "queued before the connection");
    task->closeWrite();
    auto late = write(task, "late");
    task->resume();
    auto refused = outcome(late);
    EXPECT_EQ(code(refused), EPIPE);
    EXPECT_EQ(refused->domain, kPOSIXErrorDomain);
    EXPECT_FALSE(outcome(queued));
    ASSERT_TRUE(delegate->waitFor("writeClosed"));
    ASSERT_TRUE(server.waitUntil([](auto& c) { return !c.empty() && c[0].peerEnded; }));
    EXPECT_EQ(server.connection(0).received, "queued before the connection");

    // The server can still answer over its open side; its close then ends the task.
    server.send(0, "answer");
    EXPECT_EQ(readNow(task, 6, 6).data, "answer");
    server.close(0);
    auto end = readNow(task, 1, 10);
    EXPECT_TRUE(end.atEOF);
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_FALSE(delegate->lastError());
}

TEST_P(StreamTaskTest, TimedOutOperationsFailAloneAndKeepTheirBytes) {
    TestTcpServer server;
    auto task = connect(server);
    EXPECT_FALSE(writeNow(task, "12345"));
    auto timedOut = readNow(task, 10, 10, 0.2);
    EXPECT_EQ(code(timedOut.error), int64_t(URLErrorCode::TimedOut));
    EXPECT_EQ(timedOut.error->domain, kURLErrorDomain);
    // The five bytes that had arrived were kept for the next read.
    auto whole = read(task, 10, 10);
    EXPECT_FALSE(writeNow(task, "67890"));
    EXPECT_EQ(whole->wait()->data, "1234567890");

    // Suspended, no bytes move; time-outs still count.
    task->suspend();
    EXPECT_EQ(code(writeNow(task, "while suspended", 0.2)), int64_t(URLErrorCode::TimedOut));
    task->resume();
    EXPECT_FALSE(writeNow(task, "after"));
    EXPECT_EQ(readNow(task, 5, 5).data, "after");
    EXPECT_EQ(server.connection(0).received, "1234567890after");
    EXPECT_EQ(task->state(), URLSessionTaskState::Running);
}

TEST_P(StreamTaskTest, WriteTimesOutWhenThePeerNeverReads) {
    TestTcpServer server({.hold = true});
    auto task = connect(server);
    const std::string big = pattern(64 * 1024 * 1024);
    EXPECT_EQ(code(writeNow(task, big, 0.5)), int64_t(URLErrorCode::TimedOut));
    EXPECT_GT(task->countOfBytesSent(), 0);
    EXPECT_LT(task->countOfBytesSent(), int64_t(big.size())) << "counts what went out, not what was asked";
    EXPECT_EQ(task->state(), URLSessionTaskState::Running);
}

TEST_P(StreamTaskTest, CancelFailsPendingOperationsBeforeTheTaskCompletes) {
    TestTcpServer server({.hold = true});
    ASSERT_TRUE(inFlightBecomes(0));
    auto task = connect(server);
    auto pendingRead = read(task, 1, 10);
    auto pendingWrite = write(task, pattern(32 * 1024 * 1024));
    ASSERT_TRUE(server.waitForConnections(1));
    EXPECT_EQ(URLSession::tasksInFlight(), 1u);
    task->cancel();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_EQ(delegate->snapshot(), (std::vector<std::string>{"read -999", "write -999", "complete -999"}));
    EXPECT_EQ(task->error()->code, int64_t(URLErrorCode::Cancelled));
    EXPECT_EQ(code(readNow(task, 1, 1).error), int64_t(URLErrorCode::Cancelled));
    EXPECT_EQ(code(writeNow(task, "x")), int64_t(URLErrorCode::Cancelled));
    EXPECT_TRUE(inFlightBecomes(0)) << "left once the completion was delivered";

    // Never resumed: its queued operations end with the cancel too.
    auto idle = session->streamTaskWithHostName("127.0.0.1", server.port());
    auto queued = read(idle, 1, 1);
    idle->cancel();
    EXPECT_EQ(code(queued->wait()->error), int64_t(URLErrorCode::Cancelled));
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_P(StreamTaskTest, ConnectionFailuresEndOperationsAndTheTask) {
    tesmar_testing::ClosedPort closedPort;
    struct Case {
        std::string name;
        std::string host;
        int port;
        URLErrorCode code;
    };
    const std::vector<Case> cases = {
        {"nothing listening", "127.0.0.1", closedPort.port(), URLErrorCode::CannotConnectToHost},
        {"unknown host", "no-such-host.invalid", 80, URLErrorCode::CannotFindHost},
        {"host that is no host", "127.0.0.1/x@evil", 80, URLErrorCode::BadURL},
        {"port out of range", "127.0.0.1", 70000, URLErrorCode::BadURL},
        {"port zero", "127.0.0.1", 0, URLErrorCode::BadURL},
    };
    for (const auto& c : cases) {
        auto task = session->streamTaskWithHostName(c.host, c.port);
        auto r = read(task, 1, 1);
        auto w = write(task, "x");
        task->resume();
        EXPECT_EQ(code(r->wait()->error), int64_t(c.code)) << c.name;
        EXPECT_EQ(code(outcome(w)), int64_t(c.code)) << c.name;
        ASSERT_TRUE(becomesCompleted(task)) << c.name;
        EXPECT_EQ(code(task->error()), int64_t(c.code)) << c.name;
    }

    // A connection the peer resets.
    TestTcpServer resetting({.closeAfterBytes = 3, .resetOnClose = true});
    auto task = connect(resetting);
    auto r = read(task, 100, 100);
    EXPECT_FALSE(writeNow(task, "abc"));
    EXPECT_EQ(code(r->wait()->error), int64_t(URLErrorCode::NetworkConnectionLost));
    ASSERT_TRUE(delegate->waitFor("complete -1005"));
}

TEST_P(StreamTaskTest, NetworkDownFailsAtOnceWithoutConnecting) {
    TestTcpServer server;
    PlatformConfig::setNetworkUp(false);
    auto task = session->streamTaskWithHostName("127.0.0.1", server.port());
    auto r = read(task, 1, 1);
    task->resume();
    auto result = r->wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(code(result->error), int64_t(URLErrorCode::NotConnectedToInternet));
    EXPECT_EQ(result->error->localizedDescription(), "The Internet connection appears to be offline.");
    ASSERT_TRUE(delegate->waitFor("complete -1009"));
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_P(StreamTaskTest, CloseReadEndsPendingReadsWithWhatArrived) {
    TestTcpServer server({.echo = false});
    auto task = connect(server);
    auto pending = read(task, 100, 100);
    auto queued = read(task, 1, 100);
    ASSERT_TRUE(server.waitForConnections(1));
    server.send(0, "partial");
    ASSERT_TRUE(eventually([&] { return task->countOfBytesReceived() == 7; }));
    task->closeRead();
    auto first = pending->wait();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->data, "partial");
    EXPECT_TRUE(first->atEOF);
    EXPECT_FALSE(first->error);
    auto second = queued->wait();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->data, "");
    EXPECT_TRUE(second->atEOF);
    EXPECT_FALSE(first->error);
    EXPECT_EQ(code(readNow(task, 1, 1).error), ENOTCONN);
    ASSERT_TRUE(delegate->waitFor("readClosed"));
    EXPECT_FALSE(writeNow(task, "written after closeRead"));
    task->closeWrite();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_FALSE(delegate->lastError());
}

TEST_P(StreamTaskTest, CaptureStreamsHandsTheConnectionOver) {
    TestTcpServer server({.greeting = "welcome", .endWhenPeerEnds = true});
    auto task = connect(server);
    EXPECT_EQ(readNow(task, 3, 3).data, "wel");
    task->captureStreams();
    EXPECT_EQ(code(readNow(task, 1, 1).error), ENOTCONN);
    EXPECT_EQ(code(writeNow(task, "x")), ENOTCONN);
    ASSERT_TRUE(delegate->waitFor("complete 0"));
    auto events = delegate->snapshot();
    EXPECT_LT(std::find(events.begin(), events.end(), "streams"),
              std::find(events.begin(), events.end(), "complete 0"));
    auto input = delegate->input;
    auto output = delegate->output;
    ASSERT_TRUE(input && output);
    input->open();
    output->open();
    std::string in;
    uint8_t buffer[64];
    while (in.size() < 4) {
        ssize_t n = input->read(buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        in.append(buffer, buffer + n);
    }
    EXPECT_EQ(in, "come");
    const std::string ping = "ping";
    EXPECT_EQ(output->write(reinterpret_cast<const uint8_t*>(ping.data()), ping.size()), 4);
    output->close();  // the server echoes, sees our end and ends its own side
    while (input->read(buffer, sizeof buffer) > 0) {
    }
    EXPECT_EQ(input->streamStatus(), StreamStatus::AtEnd);
    EXPECT_TRUE(server.waitUntil([](auto& c) { return c[0].peerEnded; }));
    EXPECT_EQ(server.connection(0).received, "ping");
}

TEST_P(StreamTaskTest, InvalidationCancelsOrWaitsForStreamTasks) {
    TestTcpServer server({.echo = false, .endWhenPeerEnds = false});
    auto task = connect(server);
    auto pending = read(task, 1, 1);
    ASSERT_TRUE(server.waitForConnections(1));
    session->invalidateAndCancel();
    ASSERT_TRUE(delegate->waitFor("invalid"));
    EXPECT_EQ(delegate->snapshot(), (std::vector<std::string>{"read -999", "complete -999", "invalid"}));
    auto late = session->streamTaskWithHostName("127.0.0.1", server.port());
    late->resume();
    ASSERT_TRUE(becomesCompleted(late));
    EXPECT_EQ(code(late->error()), int64_t(URLErrorCode::Cancelled));
}

TEST_P(StreamTaskTest, FinishTasksAndInvalidateWaitsForOpenStreams) {
    TestTcpServer server;
    auto task = connect(server);
    EXPECT_FALSE(writeNow(task, "hi"));
    session->finishTasksAndInvalidate();
    // Still carried: the echo comes back after the session stopped taking new tasks.
    EXPECT_EQ(readNow(task, 2, 2).data, "hi");
    task->closeWrite();  // the server ends its side in turn
    EXPECT_TRUE(readNow(task, 1, 1).atEOF);
    ASSERT_TRUE(delegate->waitFor("invalid"));
    auto events = delegate->snapshot();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "complete 0");
    EXPECT_EQ(events.back(), "invalid");
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(OneAndSeveralEngines, StreamTaskTest, ::testing::Values(6, 64));
