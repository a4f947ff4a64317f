#include "Rivulet/Source/tests/req_support.h"
#include "platform/foundation/PlatformConfig.h"
#include "testing/TestDnsServer.h"
#include "testing/TestTcpServer.h"

using namespace req_test;
using tesmar_testing::TestDnsServer;
using tesmar_testing::TestTcpServer;

namespace {

// Shared with the handlers, which may outlive a failed test.
struct Conversation {
    std::mutex m;
    std::string received;
    bool ended = false;
    std::optional<std::optional<platform::Error>> written;
    Collected<std::string> heard;  // the delegate's stream callbacks and the completion
};

void readUntilEnd(const StreamTaskPtr& task, std::shared_ptr<Conversation> talk) {
    task->readDataOfMinLength(1, 1024, 10,
                              [task, talk](platform::Bytes data, bool atEOF, std::optional<platform::Error> e) {
                                  std::lock_guard lock(talk->m);
                                  talk->received.append(data.begin(), data.end());
                                  talk->ended = atEOF || e;
                                  if (!talk->ended) readUntilEnd(task, talk);
                              });
}

// A whole conversation through the manager: the request starts the task, bytes go both ways, both
// sides close, and each stream callback reaches its typed override before the request completes.
TEST_F(RequestTest, StreamRequestTalksOverTCPAndHearsBothClosings) {
    TestTcpServer server({.greeting = "ready;"});
    auto talk = std::make_shared<Conversation>();
    manager->delegate->setStreamTaskReadClosed(
        [talk](const SessionPtr&, const StreamTaskPtr&) { talk->heard.add("readClosed"); });
    manager->delegate->setStreamTaskWriteClosed(
        [talk](const SessionPtr&, const StreamTaskPtr&) { talk->heard.add("writeClosed"); });
    manager->delegate->setTaskDidComplete([talk](const SessionPtr&, const TaskPtr&, const std::optional<AnyError>& e) {
        talk->heard.add(e ? "complete with error" : "complete");
    });

    auto r = manager->stream("127.0.0.1", server.port());
    auto task = std::dynamic_pointer_cast<platform::URLSessionStreamTask>(r->task());
    ASSERT_TRUE(task);
    EXPECT_EQ(r->kind(), RequestTask::Kind::stream);
    EXPECT_FALSE(r->request());

    readUntilEnd(task, talk);
    task->writeData(platform::Bytes{'p', 'i', 'n', 'g'}, 10, [talk](std::optional<platform::Error> e) {
        std::lock_guard lock(talk->m);
        talk->written = e;
    });
    ASSERT_TRUE(server.waitForReceived(0, 4));
    task->closeWrite();  // the echo server answers, then ends its side too

    ASSERT_TRUE(waitFor([&] { return talk->heard.size() == 3; }));
    {
        std::lock_guard lock(talk->m);
        EXPECT_EQ(talk->received, "ready;ping");
        EXPECT_TRUE(talk->ended);
        ASSERT_TRUE(talk->written);
        EXPECT_FALSE(*talk->written);
    }
    auto events = talk->heard.items();
    EXPECT_EQ(events.back(), "complete");
    EXPECT_NE(std::find(events.begin(), events.end(), "readClosed"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "writeClosed"), events.end());
    EXPECT_EQ(task->state(), platform::URLSessionTaskState::Completed);
    EXPECT_EQ(task->countOfBytesSent(), 4);
    EXPECT_EQ(task->countOfBytesReceived(), 10);
    EXPECT_TRUE(server.connection(0).peerEnded);
}

// The network-service case: the manager's stream(with:) and the module function make a stream task for
// the service, which reaches the server its SRV record names.
TEST_F(RequestTest, StreamRequestToANetServiceReachesTheServerItsRecordsName) {
    TestTcpServer server({.greeting = "hello"});
    TestDnsServer dns;
    dns.addSRV("Desk._chat._tcp.example.test", {.port = uint16_t(server.port()), .target = "127.0.0.1"});
    platform::PlatformConfig::update([&](platform::PlatformSettings& s) { s.dnsServer = dns.address(); });
    auto service = std::make_shared<platform::NetService>("example.test", "_chat._tcp", "Desk");

    for (auto make : {+[](std::shared_ptr<rivulet::SessionManager> m, std::shared_ptr<platform::NetService> s) {
                          return m->stream(std::move(s));
                      },
                      +[](std::shared_ptr<rivulet::SessionManager>, std::shared_ptr<platform::NetService> s) {
                          return rivulet::stream(std::move(s));
                      }}) {
        auto r = make(manager, service);
        auto task = std::dynamic_pointer_cast<platform::URLSessionStreamTask>(r->task());
        ASSERT_TRUE(task);
        EXPECT_EQ(r->kind(), RequestTask::Kind::stream);
        EXPECT_EQ(task->netService(), service);
        auto talk = std::make_shared<Conversation>();
        readUntilEnd(task, talk);
        ASSERT_TRUE(waitFor([&] {
            std::lock_guard lock(talk->m);
            return talk->received == "hello";
        }));
        task->cancel();
    }
    EXPECT_EQ(server.connectionCount(), 2u);
    platform::PlatformConfig::update([](platform::PlatformSettings& s) { s.dnsServer.clear(); });
}

}  // namespace
