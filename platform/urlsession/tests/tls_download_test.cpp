#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/security/Trust.h"
#include "platform/foundation/PropertyList.h"
#include "platform/urlsession/tests/SessionTestSupport.h"
#include "testing/TestCertificates.h"
#include "testing/TestHttpServer.h"

using namespace urlsession_test;
using namespace std::chrono_literals;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

constexpr const char* kHost = "intranet.tesmar.test";

class TLSTest : public ::testing::Test {
protected:
    DeviceRoot device;
    tesmar_testing::TestPKI pki = tesmar_testing::TestPKI::make(kHost);

    std::unique_ptr<TestHttpServer> serve(const tesmar_testing::TestCertificate& leaf, bool withIntermediate = true) {
        std::vector<const tesmar_testing::TestCertificate*> chain;
        if (withIntermediate) chain.push_back(&pki.intermediate);
        auto files = tesmar_testing::writeServerFiles(device.path(), leaf, chain);
        auto server = std::make_unique<TestHttpServer>(files.certificateChainPath, files.privateKeyPath);
        server->route("GET", "/", Reply::text("secret"));
        auto root = tesmar_testing::writePEMFile(device.path() + "/root.pem", pki.root.certificatePEM);
        int port = server->port();
        PlatformConfig::update([&](PlatformSettings& s) {
            s.extraTrustedRootsPEM = {root};
            s.connectTo[std::string(kHost) + ":" + std::to_string(port)] = "127.0.0.1:" + std::to_string(port);
        });
        return server;
    }
    std::string address(const TestHttpServer& server, const std::string& host = kHost) {
        return "https://" + host + ":" + std::to_string(server.port()) + "/";
    }
};

TEST_F(TLSTest, DefaultTrustAcceptsTheInjectedRootAndRefusesBadChains) {
    struct Case {
        std::string name;
        const tesmar_testing::TestCertificate* leaf;
        bool withIntermediate;
        std::optional<URLErrorCode> expected;
    };
    std::vector<Case> cases = {
        {"chain to injected root", &pki.leaf, true, std::nullopt},
        {"wrong host", &pki.otherHostLeaf, true, URLErrorCode::ServerCertificateUntrusted},
        {"expired leaf", &pki.expiredLeaf, true, URLErrorCode::ServerCertificateHasBadDate},
        {"untrusted root", &pki.selfSignedLeaf, false, URLErrorCode::ServerCertificateHasUnknownRoot},
    };
    for (const auto& c : cases) {
        auto server = serve(*c.leaf, c.withIntermediate);
        auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration());
        Promise<std::pair<std::string, std::optional<Error>>> done;
        session->dataTaskWithURL(url(address(*server)), [&](const Bytes& d, auto, std::optional<Error> e) {
            done.set({std::string(d.begin(), d.end()), e});
        })->resume();
        auto r = done.wait();
        ASSERT_TRUE(r) << c.name;
        if (!c.expected) {
            EXPECT_FALSE(r->second) << c.name << ": " << r->second->description();
            EXPECT_EQ(r->first, "secret") << c.name;
        } else {
            ASSERT_TRUE(r->second) << c.name;
            EXPECT_EQ(r->second->code, int64_t(*c.expected)) << c.name << ": " << r->second->description();
            EXPECT_EQ(server->requestCount(), 0u) << c.name << ": no request bytes before trust";
        }
        session->invalidateAndCancel();
    }
}

TEST_F(TLSTest, DelegateSeesTheServerChainAndItsAnswerDecides) {
    auto server = serve(pki.selfSignedLeaf, false);
    struct Case {
        URLSessionAuthChallengeDisposition answer;
        int64_t code;
    };
    for (auto c : {Case{URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, -999},
                   Case{URLSessionAuthChallengeDisposition::RejectProtectionSpace, -1202},
                   Case{URLSessionAuthChallengeDisposition::PerformDefaultHandling, -1203},
                   Case{URLSessionAuthChallengeDisposition::UseCredential, 0}}) {
        auto delegate = std::make_shared<RecordingDelegate>();
        std::string presentedHost;
        size_t chainLength = 0;
        delegate->trustAnswer = [&](const URLAuthenticationChallenge& challenge) {
            presentedHost = challenge.protectionSpace.host();
            chainLength = challenge.protectionSpace.serverTrust()->certificateCount();
            return c.answer;
        };
        auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(),
                                                            delegate, nullptr);
        session->dataTaskWithURL(url(address(*server)))->resume();
        ASSERT_TRUE(delegate->waitForPrefix("complete"));
        EXPECT_EQ(delegate->lastError() ? delegate->lastError()->code : 0, c.code);
        EXPECT_EQ(presentedHost, kHost);
        EXPECT_EQ(chainLength, 1u);
        session->invalidateAndCancel();
    }
    EXPECT_EQ(server->requestCount(), 1u);  // only the accepted one
}

class DownloadTest : public ::testing::Test {
protected:
    DeviceRoot device;
    TestHttpServer server;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<URLSession> session = URLSession::sessionWithConfiguration(
        URLSessionConfiguration::ephemeralSessionConfiguration(), delegate, nullptr);
    ~DownloadTest() override { session->invalidateAndCancel(); }
};

bool fileMatchesPattern(const std::string& path, uint64_t length) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<char> buf(1 << 20), expected(1 << 20);
    uint64_t offset = 0;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) {
        tesmar_testing::fillPattern(offset, expected.data(), n);
        if (memcmp(buf.data(), expected.data(), n) != 0) {
            fclose(f);
            return false;
        }
        offset += n;
    }
    fclose(f);
    return offset == length;
}

// Samples resident memory every few milliseconds and keeps the highest growth over the start.
class PeakMemory {
public:
    PeakMemory() : base_(residentKB()), sampler_([this] {
        while (!stop_) {
            peak_ = std::max(peak_.load(), residentKB() - base_);
            std::this_thread::sleep_for(5ms);
        }
    }) {}
    ~PeakMemory() { stopAndGet(); }
    long stopAndGet() {
        stop_ = true;
        if (sampler_.joinable()) sampler_.join();
        return peak_;
    }

private:
    const long base_;
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_{0};
    std::thread sampler_;
};

TEST_F(DownloadTest, GigabyteDownloadStreamsToDiskWithFlatMemory) {
    constexpr uint64_t kSize = 1ull << 30;
    server.route("GET", "/big", Reply::streamed(kSize));
    bool matched = false;
    std::string kept = device.path() + "/kept.bin";
    delegate->onDownloaded = [&](const URL& location) {
        matched = fileMatchesPattern(location.path(), kSize);
        std::filesystem::rename(location.path(), kept);
    };
    PeakMemory memory;
    auto task = session->downloadTaskWithURL(url(server.url("/big")));
    task->resume();
    ASSERT_TRUE(delegate->waitForPrefix("complete", 600s));
    long grown = memory.stopAndGet();
    EXPECT_EQ(delegate->snapshot(), (std::vector<std::string>{"finished", "complete 0"}));
    EXPECT_EQ(delegate->downloadedSize, int64_t(kSize));
    EXPECT_TRUE(matched);
    EXPECT_EQ(delegate->written, int64_t(kSize));
    EXPECT_EQ(task->countOfBytesReceived(), int64_t(kSize));
    // Holding the body would cost a gigabyte; buffers in flight cost a few MB (plus, under
    // AddressSanitizer, its quarantine of freed memory, 256 MB at most).
#if defined(__SANITIZE_ADDRESS__)
    constexpr long kAllowedKB = (256 + 64) * 1024;
#else
    constexpr long kAllowedKB = 64 * 1024;
#endif
    EXPECT_LT(grown, kAllowedKB) << "resident memory peaked " << grown << " KB above the start";
    EXPECT_TRUE(std::filesystem::exists(kept));  // moved away by the delegate, so not removed
    std::filesystem::remove(kept);
}

TEST_F(DownloadTest, TemporaryFileIsRemovedAfterTheFinishCallback) {
    server.route("GET", "/small", Reply::text("small file"));
    std::string location;
    delegate->onDownloaded = [&](const URL& l) { location = l.path(); };
    session->downloadTaskWithURL(url(server.url("/small")))->resume();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_EQ(delegate->downloadedSize, 10);
    EXPECT_EQ(location.rfind(device.path() + "/tmp/", 0), 0u) << location;
    EXPECT_FALSE(std::filesystem::exists(location));
}

TEST_F(DownloadTest, CancelProducesResumeDataAndResumeCompletesWithARange) {
    constexpr uint64_t kSize = 4ull << 20;
    auto gate = tesmar_testing::Gate::make();
    auto reply = Reply::streamed(kSize).withRanges().header("ETag", "\"v1\"");
    reply.stream->pauseAt = 1 << 20;
    reply.stream->pauseGate = gate;
    server.route("GET", "/file", reply);

    auto task = session->downloadTaskWithURL(url(server.url("/file")));
    task->resume();
    ASSERT_TRUE(delegate->waitWritten(1 << 20));
    Promise<std::optional<Bytes>> resume;
    task->cancelByProducingResumeData([&](std::optional<Bytes> data) { resume.set(data); });
    auto data = resume.wait();
    ASSERT_TRUE(data && *data) << "no resume data";
    ASSERT_TRUE(delegate->waitFor("complete -999"));
    gate->open();

    delegate->events.clear();
    bool matched = false;
    delegate->onDownloaded = [&](const URL& location) { matched = fileMatchesPattern(location.path(), kSize); };
    session->downloadTaskWithResumeData(**data)->resume();
    ASSERT_TRUE(delegate->waitForPrefix("complete"));
    EXPECT_EQ(delegate->snapshot(), (std::vector<std::string>{"resumeAt 1048576", "finished", "complete 0"}));
    EXPECT_TRUE(matched);
    auto second = server.requestsTo("/file").back();
    EXPECT_EQ(second.header("Range"), "bytes=1048576-");
    EXPECT_EQ(second.header("If-Range"), "\"v1\"");
}

TEST_F(DownloadTest, ForeignResumeDataIsRefused) {
    Value forged = Value::dictionary();
    forged.set("NSURLSessionDownloadURL", server.url("/x"));
    forged.set("NSURLSessionResumeBytesReceived", 10);
    forged.set("NSURLSessionResumeInfoLocalPath", "/etc/passwd");
    forged.set("NSURLSessionResumeEntityTag", "\"x\"");
    for (const Bytes& blob : {Bytes{1, 2, 3}, plist::write(forged, plist::Format::Binary).value()}) {
        delegate->events.clear();
        session->downloadTaskWithResumeData(blob)->resume();
        ASSERT_TRUE(delegate->waitForPrefix("complete"));
        EXPECT_EQ(delegate->lastError()->code, int64_t(URLErrorCode::BadURL));
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

}  // namespace
