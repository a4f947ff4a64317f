#include <gtest/gtest.h>

#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/NetService.h"
#include "platform/urlsession/tests/SessionTestSupport.h"
#include "testing/TestDnsServer.h"
#include "testing/TestTcpServer.h"

using namespace urlsession_test;
using tesmar_testing::TestDnsServer;
using tesmar_testing::TestTcpServer;

namespace {

class NetServiceTest : public ::testing::Test {
protected:
    DeviceRoot device;
    TestDnsServer dns;

    NetServiceTest() {
        PlatformConfig::update([&](PlatformSettings& s) { s.dnsServer = dns.address(); });
    }
    ~NetServiceTest() override {
        PlatformConfig::update([](PlatformSettings& s) { s.dnsServer.clear(); });
    }
};

std::string text(const std::optional<Bytes>& b) { return b ? std::string(b->begin(), b->end()) : "<none>"; }

TEST_F(NetServiceTest, ResolvesTheInstanceToTheHostPortAddressAndAttributesOfItsRecords) {
    // An instance name may hold spaces and dots of its own; the lowest SRV priority wins.
    const std::string instance = "Office\\.Printer 2._ipp._tcp.corp.example";
    dns.addSRV(instance, {.priority = 20, .weight = 5, .port = 9999, .target = "backup.corp.example."});
    dns.addSRV(instance, {.priority = 10, .weight = 0, .port = 631, .target = "printer.corp.example."});
    dns.addTXT(instance, {"txtvers=1", "rp=queue/a", "Color", "RP=ignored", "", "=nokey"});
    dns.addA("printer.corp.example", "127.0.0.7");

    NetService service("corp.example", "_ipp._tcp", "Office.Printer 2");
    EXPECT_EQ(service.serviceInstanceName(), "Office\\.Printer 2._ipp._tcp.corp.example.");
    ASSERT_EQ(service.resolveWithTimeout(5), std::nullopt);
    EXPECT_EQ(service.hostName(), "printer.corp.example");
    EXPECT_EQ(service.port(), 631);
    EXPECT_EQ(service.addresses(), std::vector<std::string>{"127.0.0.7"});
    auto txt = service.TXTRecord();
    EXPECT_EQ(txt.size(), 3u);
    EXPECT_EQ(text(txt["txtvers"]), "1");
    EXPECT_EQ(text(txt["rp"]), "queue/a");  // the first of keys differing in case only
    EXPECT_EQ(text(txt["Color"]), "<none>");
}

TEST_F(NetServiceTest, FailuresCarryTheirCodeAndKeepWhatAnEarlierResolutionFound) {
    dns.addSRV("Known._http._tcp.example.test", {.port = 8080, .target = "web.example.test"});
    dns.addSRV("Refused._http._tcp.example.test", {.port = 0, .target = "."});
    NetService known("example.test.", "_http._tcp.", "Known");
    ASSERT_EQ(known.resolveWithTimeout(5), std::nullopt);
    EXPECT_EQ(known.hostName(), "web.example.test");  // no address record: the name alone is known
    EXPECT_TRUE(known.addresses().empty());

    struct Case {
        NetService service;
        NetServicesErrorCode code;
    };
    Case cases[] = {
        {NetService("example.test", "_http._tcp", "Missing"), NetServicesErrorCode::NotFound},
        {NetService("example.test", "_http._tcp", "Refused"), NetServicesErrorCode::NotFound},
        {NetService("example.test", "http", "Known"), NetServicesErrorCode::BadArgument},
        {NetService("example.test", "_http._tcp", ""), NetServicesErrorCode::BadArgument},
    };
    for (auto& c : cases) {
        auto error = c.service.resolveWithTimeout(5);
        ASSERT_TRUE(error) << c.service.serviceInstanceName();
        EXPECT_EQ(error->domain, kNetServicesErrorDomain);
        EXPECT_EQ(error->code, int64_t(c.code)) << c.service.serviceInstanceName();
        EXPECT_EQ(c.service.port(), -1);
    }

    dns.setSilent(true);
    auto error = known.resolveWithTimeout(0.5);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, int64_t(NetServicesErrorCode::Timeout));
    EXPECT_EQ(known.port(), 8080);
}

TEST_F(NetServiceTest, StreamTaskConnectsToTheResolvedServiceOrFailsAsHostNotFound) {
    TestTcpServer server;
    dns.addSRV("Echo._echo._tcp.example.test", {.port = uint16_t(server.port()), .target = "echo.example.test"});
    dns.addA("echo.example.test", "127.0.0.1");
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(),
                                                        delegate, nullptr);

    auto task = session->streamTaskWithNetService(std::make_shared<NetService>("example.test", "_echo._tcp", "Echo"));
    EXPECT_EQ(task->netService()->name(), "Echo");
    auto written = std::make_shared<Promise<std::optional<Error>>>();
    task->writeData(Bytes{'h', 'i'}, 0, [written](std::optional<Error> e) { written->set(e); });
    auto read = std::make_shared<Promise<std::string>>();
    task->readDataOfMinLength(2, 2, 0, [read](Bytes b, bool, std::optional<Error> e) {
        read->set(e ? "error " + std::to_string(e->code) : std::string(b.begin(), b.end()));
    });
    task->resume();
    auto writeOutcome = written->wait();
    ASSERT_TRUE(writeOutcome) << "write not answered";
    EXPECT_EQ(*writeOutcome, std::nullopt);
    EXPECT_EQ(read->wait(), "hi");
    ASSERT_TRUE(server.waitForReceived(0, 2));

    auto missing =
        session->streamTaskWithNetService(std::make_shared<NetService>("example.test", "_echo._tcp", "Nobody"));
    auto failed = std::make_shared<Promise<std::string>>();
    missing->readDataOfMinLength(1, 1, 0, [failed](Bytes, bool, std::optional<Error> e) {
        failed->set(e ? e->domain + " " + std::to_string(e->code) : "no error");
    });
    missing->resume();
    EXPECT_EQ(failed->wait(), "NSURLErrorDomain -1003");
    session->invalidateAndCancel();
}

}  // namespace
