// Multipart uploads against the loopback server: memory or file by threshold, the server's own parse
// of the body, removal of the body file, and failures reported once on the main queue.
#include <filesystem>
#include <fstream>

#include "Rivulet/Source/tests/req_support.h"

using namespace req_test;
using platform::Bytes;

namespace {

struct Outcome {
    std::optional<MultipartFormDataEncodingResult> result;
    bool onMain = false;
};

class MultipartUploadTest : public RequestTest {
protected:
    void SetUp() override {
        server.route("POST", "/upload", Reply::dynamic([](const tesmar_testing::RecordedRequest& rq, Reply& r) {
                         r.body = std::to_string(rq.parts.size());
                     }));
    }
    // Runs one upload and waits for its encoding result.
    Outcome run(const std::shared_ptr<SessionManager>& m, MultipartFormDataFill fill, uint64_t threshold,
                const std::string& url) {
        Outcome out;
        m->upload(std::move(fill), threshold, url, HTTPMethod::post, HTTPHeaders{{"Content-Type", "text/plain"}},
                  [&](MultipartFormDataEncodingResult r) {
                      out.onMain = MainLoop::isMainThread();
                      out.result = std::move(r);
                  });
        EXPECT_TRUE(waitFor([&] { return out.result.has_value(); }));
        return out;
    }
    // Waits for the request's response; answers the body the server sent.
    std::string finish(const std::shared_ptr<UploadRequest>& request, std::optional<std::string>* fileSeenBy = nullptr,
                       const std::optional<platform::URL>& file = std::nullopt) {
        std::optional<std::string> body;
        request->responseString([&](DataResponse<std::string> r) {
            if (fileSeenBy && file) *fileSeenBy = std::filesystem::exists(file->path()) ? "present" : "gone";
            body = r.value() ? *r.value() : "error: " + r.error()->description();
        });
        EXPECT_TRUE(waitFor([&] { return body.has_value(); }));
        return body.value_or("");
    }
    std::string directory() const { return multipartFormDataTemporaryDirectory(); }
    bool directoryEmpty() const {
        return !std::filesystem::exists(directory()) || std::filesystem::is_empty(directory());
    }
};

Bytes filled(size_t n, char c) { return Bytes(n, uint8_t(c)); }

}  // namespace

TEST_F(MultipartUploadTest, ThresholdPicksMemoryBelowAndAFileFromItOn) {
    const uint64_t t = 2000;  // over 1 KiB, so the file road copies in several steps
    struct Case {
        const char* what;
        uint64_t threshold;
        size_t firstPartSize;
        bool fromDisk;
        bool withParts = true;
    };
    const std::vector<Case> cases = {
        {"t-1 in memory", t, size_t(t) - 1 - 5, false},
        {"t through a file", t, size_t(t) - 5, true},
        {"threshold 0, empty form", 0, 0, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.clearRequests();
        bool filledOnMain = true;
        auto outcome = run(
            manager,
            [&](MultipartFormData& form) {
                filledOnMain = MainLoop::isMainThread();
                if (c.withParts) {
                    form.append(filled(c.firstPartSize, 'a'), "first", "a.bin", "application/octet-stream");
                    form.append(platform::Bytes{'h', 'e', 'l', 'l', 'o'}, "second \"quoted\"");
                }
            },
            c.threshold, server.url("/upload"));
        EXPECT_FALSE(filledOnMain);
        EXPECT_TRUE(outcome.onMain);
        ASSERT_TRUE(outcome.result);
        auto success = outcome.result->asSuccess();
        ASSERT_TRUE(success) << outcome.result->error()->description();
        EXPECT_EQ(success->streamingFromDisk, c.fromDisk);
        EXPECT_EQ(success->streamFileURL.has_value(), c.fromDisk);
        if (c.fromDisk) {
            EXPECT_EQ(success->streamFileURL->path().rfind(directory() + "/", 0), 0u) << success->streamFileURL->path();
        }
        std::optional<std::string> fileState;
        finish(success->request, &fileState, success->streamFileURL);
        if (c.fromDisk) {
            EXPECT_EQ(fileState, "gone");
        }

        auto seen = server.requestsTo("/upload");
        ASSERT_EQ(seen.size(), 1u);
        const auto contentType = seen[0].header("Content-Type").value_or("");
        EXPECT_EQ(contentType.rfind("multipart/form-data; boundary=rivulet.boundary.", 0), 0u) << contentType;
        if (!c.withParts) {
            EXPECT_TRUE(seen[0].body.empty());
            continue;
        }
        // cpp-httplib's own multipart parser reads the parts back.
        ASSERT_EQ(seen[0].parts.size(), 2u);
        EXPECT_EQ(seen[0].parts[0].name, "first");
        EXPECT_EQ(seen[0].parts[0].filename, "a.bin");
        EXPECT_EQ(seen[0].parts[0].contentType, "application/octet-stream");
        EXPECT_EQ(seen[0].parts[0].content, std::string(c.firstPartSize, 'a'));
        EXPECT_EQ(seen[0].parts[1].name, "second %22quoted%22");
        EXPECT_EQ(seen[0].parts[1].content, "hello");
    }
    EXPECT_TRUE(std::filesystem::is_directory(directory()));  // the directory itself stays
    EXPECT_TRUE(directoryEmpty());
    EXPECT_EQ(std::filesystem::status(directory()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
}

TEST_F(MultipartUploadTest, BackgroundSessionsAlwaysGoThroughAFile) {
    auto background =
        SessionManager::make(platform::URLSessionConfiguration::backgroundSessionConfiguration("mp.test"));
    auto outcome = run(
        background, [](MultipartFormData& f) { f.append(Bytes{'x'}, "x"); },
        SessionManager::multipartFormDataEncodingMemoryThreshold, server.url("/upload"));
    ASSERT_TRUE(outcome.result && outcome.result->asSuccess());
    EXPECT_TRUE(outcome.result->asSuccess()->streamingFromDisk);
    EXPECT_EQ(finish(outcome.result->asSuccess()->request), "1");
}

TEST_F(MultipartUploadTest, FailuresReachTheCompletionOnceAndLeaveNoFile) {
    const std::string missing = device.path() + "/missing.txt";
    struct Case {
        const char* what;
        uint64_t threshold;
        std::function<void(MultipartFormData&)> fill;
        std::string url;
        std::string expected;  // start of the error's description
    };
    const std::vector<Case> cases = {
        {"append error, memory", 1'000'000,
         [&](MultipartFormData& f) { f.append(platform::URL::fileURL(missing), "f"); }, server.url("/upload"),
         "RVError.multipartEncodingFailed"},
        {"append error, file", 0, [&](MultipartFormData& f) { f.append(platform::URL::fileURL(missing), "f"); },
         server.url("/upload"), "RVError.multipartEncodingFailed"},
        {"stream fails after a part was written", 0,
         [&](MultipartFormData& f) {
             f.append(filled(3000, 'z'), "written");
             f.append(platform::InputStream::withFileAtPath(missing), 4, "late", "late.txt", "text/plain");
         },
         server.url("/upload"), "RVError.multipartEncodingFailed"},
        {"the fill throws a standard exception", 0,
         [](MultipartFormData&) { throw std::runtime_error("no form today"); }, server.url("/upload"),
         "Error Domain=Rivulet.MultipartFormDataFill"},
        {"the fill throws something else", 1'000'000, [](MultipartFormData&) { throw 42; }, server.url("/upload"),
         "Error Domain=Rivulet.MultipartFormDataFill"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int completions = 0;
        std::optional<MultipartFormDataEncodingResult> result;
        manager->upload(c.fill, c.threshold, c.url, HTTPMethod::post, std::nullopt,
                        [&](MultipartFormDataEncodingResult r) {
                            ++completions;
                            result = std::move(r);
                        });
        ASSERT_TRUE(waitFor([&] { return result.has_value(); }));
        MainLoop::shared().runUntilIdle();
        EXPECT_EQ(completions, 1);
        ASSERT_TRUE(result->error());
        EXPECT_EQ(result->error()->description().rfind(c.expected, 0), 0u) << result->error()->description();
        EXPECT_TRUE(directoryEmpty());
    }

    bool filled = false;
    std::optional<MultipartFormDataEncodingResult> invalid;
    manager->upload([&](MultipartFormData&) { filled = true; }, 0, std::string("http://bad host/"), HTTPMethod::post,
                    std::nullopt, [&](MultipartFormDataEncodingResult r) { invalid = std::move(r); });
    ASSERT_TRUE(waitFor([&] { return invalid.has_value(); }));
    ASSERT_TRUE(invalid->error() && invalid->error()->as<RVError>());
    EXPECT_EQ(invalid->error()->as<RVError>()->kind(), RVError::Case::invalidURL);
    EXPECT_FALSE(filled);
    EXPECT_EQ(server.requestCount(), 0u);
}
