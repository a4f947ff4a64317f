// Download responses: the built-in serializers' rules, and downloads from the loopback server
// delivered as data, text, JSON and property lists.
#include <filesystem>
#include <fstream>

#include "Rivulet/Source/tests/req_support.h"
#include "platform/urlsession/URLError.h"

using namespace req_test;
using platform::Bytes;
using platform::URL;
using platform::Value;
using SReason = RVError::ResponseSerializationFailureReason::Kind;

namespace {

HTTPResponse statusResponse(int status) {
    return std::make_shared<platform::HTTPURLResponse>(*URL::string("http://h/"), status, "HTTP/1.1",
                                                       platform::HTTPHeaderFields{});
}

// "ok:<value>" or "fail:<reason index>" or "fail:other".
template <class T>
std::string outcome(const Result<T>& r) {
    if (auto v = r.value()) return "ok:" + describe(*v);
    auto rv = r.error()->template as<RVError>();
    if (rv && rv->responseSerializationReason())
        return "fail:" + std::to_string(int(rv->responseSerializationReason()->kind));
    return "fail:other";
}
std::string failure(SReason k) { return "fail:" + std::to_string(int(k)); }

}  // namespace

TEST(DownloadSerializers, FileRulesComeBeforeTheDataRules) {
    char tmpl[] = "/tmp/rivulet-dl-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::ofstream(dir + "/json") << R"({"a":1})";
    std::ofstream(dir + "/empty");
    const auto json = URL::fileURL(dir + "/json"), empty = URL::fileURL(dir + "/empty"),
               gone = URL::fileURL(dir + "/gone");
    const AnyError taskError(platform::Error("NSURLErrorDomain", -1001));

    struct Case {
        const char* what;
        OptionalFileURL file;
        int status;
        OptionalError error;
        std::string data, text, parsed;  // data, string and JSON serializers
    };
    const std::vector<Case> cases = {
        {"task error wins", json, 200, taskError, "fail:other", "fail:other", "fail:other"},
        {"no file", std::nullopt, 200, std::nullopt, failure(SReason::inputFileNil), failure(SReason::inputFileNil),
         failure(SReason::inputFileNil)},
        {"unreadable file, even for 204", gone, 204, std::nullopt, failure(SReason::inputFileReadFailed),
         failure(SReason::inputFileReadFailed), failure(SReason::inputFileReadFailed)},
        {"204 with a file", json, 204, std::nullopt, "ok:0 bytes", "ok:", "ok:" + Value().description()},
        {"empty file", empty, 200, std::nullopt, "ok:0 bytes", "ok:", failure(SReason::inputDataNilOrZeroLength)},
        {"body", json, 200, std::nullopt, "ok:7 bytes", R"(ok:{"a":1})",
         "ok:" + Value::dictionary({{"a", int64_t(1)}}).description()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto response = statusResponse(c.status);
        EXPECT_EQ(outcome(DownloadRequest::dataResponseSerializer().serializeResponse(std::nullopt, response, c.file,
                                                                                      c.error)),
                  c.data);
        EXPECT_EQ(outcome(DownloadRequest::stringResponseSerializer().serializeResponse(std::nullopt, response, c.file,
                                                                                        c.error)),
                  c.text);
        EXPECT_EQ(outcome(DownloadRequest::jsonResponseSerializer().serializeResponse(std::nullopt, response, c.file,
                                                                                      c.error)),
                  c.parsed);
    }
    auto unreadable =
        DownloadRequest::dataResponseSerializer().serializeResponse(std::nullopt, nullptr, gone, std::nullopt);
    ASSERT_TRUE(unreadable.error());
    EXPECT_EQ(unreadable.error()->as<RVError>()->responseSerializationReason()->url, gone);
    std::filesystem::remove_all(dir);
}

TEST_F(RequestTest, DownloadsDeliverDataTextJSONAndPropertyLists) {
    server.route("GET", "/json", Reply::json(R"({"k":[1,2]})"));
    server.route(
        "GET", "/plist",
        Reply::text(
            R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>a</key><string>b</string></dict></plist>)",
            200, "application/x-plist"));
    server.route("GET", "/text", Reply::text("caf\xc3\xa9", 200, "text/plain; charset=utf-8"));

    const std::string destDir = device.path() + "/dest";
    auto destination = [destDir](const URL&, const platform::HTTPURLResponse& r) {
        return DownloadDestination{URL::fileURL(destDir + r.url()->path()),
                                   {DownloadOptions::createIntermediateDirectories}};
    };
    for (bool withDestination : {false, true}) {
        SCOPED_TRACE(withDestination ? "to a destination" : "temporary file");
        auto to = withDestination ? DownloadFileDestination(destination) : DownloadFileDestination(nullptr);
        Collected<std::string> got;
        bool fileMatches = true;
        std::optional<std::string> keptPath;
        auto json =
            manager->download(URLRequestConvertible(platform::URLRequest(*URL::string(server.url("/json")))), to);
        json->responseJSON([&](DownloadResponse<Value> r) {
            got.add(r.value() ? "json " + (*r.value())["k"].description() : "json " + r.error()->description());
            if (r.temporaryURL() && !withDestination) keptPath = r.temporaryURL()->path();
            fileMatches = fileMatches && (withDestination ? r.destinationURL().has_value() : !r.destinationURL()) &&
                          r.temporaryURL().has_value();
        });
        json->responseData([&](DownloadResponse<Bytes> r) {
            got.add("data " + text(r.value() ? std::optional(*r.value()) : std::nullopt));
        });
        manager->download(URLRequestConvertible(platform::URLRequest(*URL::string(server.url("/plist")))), to)
            ->responsePropertyList([&](DownloadResponse<Value> r) {
                got.add(r.value() ? "plist " + (*r.value())["a"].description() : "plist " + r.error()->description());
            });
        manager->download(URLRequestConvertible(platform::URLRequest(*URL::string(server.url("/text")))), to)
            ->responseString([&](DownloadResponse<std::string> r) {
                got.add(r.value() ? "text " + *r.value() : "text " + r.error()->description());
            })
            ->response([&](DefaultDownloadResponse r) {
                got.add("default " + std::to_string(r.response() ? r.response()->statusCode() : 0));
            });
        ASSERT_TRUE(waitFor([&] { return got.size() == 5; }));
        auto items = got.items();
        std::sort(items.begin(), items.end());
        EXPECT_EQ(items, (std::vector<std::string>{"data {\"k\":[1,2]}", "default 200",
                                                   "json " + Value::array({int64_t(1), int64_t(2)}).description(),
                                                   "plist " + Value("b").description(), "text caf\xc3\xa9"}));
        EXPECT_TRUE(fileMatches);
        if (!withDestination) {
            // The kept file lives as long as its request, no longer.
            ASSERT_TRUE(keptPath);
            EXPECT_TRUE(std::filesystem::exists(*keptPath));
            json.reset();
            EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(*keptPath); }));
        }
    }
}

TEST_F(RequestTest, ACancelledDownloadResumesFromItsResumeDataWhereItStopped) {
    constexpr uint64_t kSize = 256 * 1024, kStop = 64 * 1024;
    auto gate = tesmar_testing::Gate::make();
    auto reply = Reply::streamed(kSize).withRanges().header("ETag", "\"v1\"");
    reply.stream->pauseAt = kStop;
    reply.stream->pauseGate = gate;
    server.route("GET", "/file", reply);

    auto first = manager->download(URLRequestConvertible(platform::URLRequest(*URL::string(server.url("/file")))));
    ASSERT_TRUE(waitFor([&] { return first->progress()->completedUnitCount() == int64_t(kStop); }));
    first->cancel();
    std::optional<DefaultDownloadResponse> cancelled;
    first->response([&](DefaultDownloadResponse r) { cancelled = std::move(r); });
    ASSERT_TRUE(waitFor([&] { return cancelled.has_value(); }));
    ASSERT_TRUE(cancelled->resumeData());
    EXPECT_EQ(cancelled->error()->bridged().code, int64_t(platform::URLErrorCode::Cancelled));
    gate->open();

    std::optional<DownloadResponse<Bytes>> resumed;
    manager->downloadResumingWith(*cancelled->resumeData())->responseData([&](DownloadResponse<Bytes> r) {
        resumed = std::move(r);
    });
    ASSERT_TRUE(waitFor([&] { return resumed.has_value(); }));
    ASSERT_TRUE(resumed->value()) << resumed->error()->description();
    std::string whole(kSize, '\0');
    tesmar_testing::fillPattern(0, whole.data(), whole.size());
    EXPECT_TRUE(text(*resumed->value()) == whole);
    auto second = server.requestsTo("/file").back();
    EXPECT_EQ(second.header("Range"), "bytes=" + std::to_string(kStop) + "-");
    EXPECT_EQ(second.header("If-Range"), "\"v1\"");
}
