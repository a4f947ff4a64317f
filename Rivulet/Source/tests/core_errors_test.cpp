#include <gtest/gtest.h>

#include "Rivulet/Source/RVError.h"
#include "Rivulet/Source/Response.h"
#include "Rivulet/Source/Result.h"
#include "platform/foundation/PlatformConfig.h"

using namespace rivulet;
using platform::URL;

namespace {
platform::Error sampleError() { return platform::Error::withDescription("D", 7, "broke"); }
}  // namespace

TEST(CoreRVError, MessagesTable) {
    using PR = RVError::ParameterEncodingFailureReason;
    using MR = RVError::MultipartEncodingFailureReason;
    using VR = RVError::ResponseValidationFailureReason;
    using SR = RVError::ResponseSerializationFailureReason;
    const URL u = *URL::string("file:///tmp/a.txt");
    const std::string full = sampleError().description();
    const std::pair<RVError, std::string> cases[] = {
        {RVError::invalidURL(std::string("")), "URL is not valid: "},
        {RVError::invalidURL(std::string("a b")), "URL is not valid: a b"},
        {RVError::parameterEncodingFailed(PR::missingURL()), "URL request to encode was missing a URL"},
        {RVError::parameterEncodingFailed(PR::jsonEncodingFailed(sampleError())),
         "JSON could not be encoded because of error:\nbroke"},
        {RVError::parameterEncodingFailed(PR::propertyListEncodingFailed(sampleError())),
         "PropertyList could not be encoded because of error:\nbroke"},
        {RVError::multipartEncodingFailed(MR::bodyPartURLInvalid(u)),
         "The URL provided is not a file URL: file:///tmp/a.txt"},
        {RVError::multipartEncodingFailed(MR::bodyPartFileNotReachableWithError(u, sampleError())),
         "The system returned an error while checking the provided URL for reachability.\nURL: "
         "file:///tmp/a.txt\nError: " +
             full},
        {RVError::multipartEncodingFailed(MR::bodyPartFileSizeQueryFailedWithError(u, sampleError())),
         "The system returned an error while attempting to fetch the file size from the provided URL.\nURL: "
         "file:///tmp/a.txt\nError: " +
             full},
        {RVError::multipartEncodingFailed(MR::outputStreamWriteFailed(sampleError())),
         "OutputStream write failed with error: " + full},
        {RVError::multipartEncodingFailed(MR::inputStreamReadFailed(sampleError())),
         "InputStream read failed with error: " + full},
        {RVError::responseValidationFailed(VR::dataFileNil()), "Response could not be validated, data file was nil."},
        {RVError::responseValidationFailed(VR::dataFileReadFailed(u)),
         "Response could not be validated, data file could not be read: file:///tmp/a.txt."},
        {RVError::responseValidationFailed(VR::missingContentType({"application/json", "text/json"})),
         "Response Content-Type was missing and acceptable content types (application/json,text/json) do not match "
         "\"*/*\"."},
        {RVError::responseValidationFailed(VR::unacceptableContentType({}, "text/html")),
         "Response Content-Type \"text/html\" does not match any acceptable types: ."},
        {RVError::responseValidationFailed(VR::unacceptableStatusCode(404)),
         "Response status code was unacceptable: 404."},
        {RVError::responseSerializationFailed(SR::inputDataNil()),
         "Response could not be serialized, input data was nil."},
        {RVError::responseSerializationFailed(SR::inputDataNilOrZeroLength()),
         "Response could not be serialized, input data was nil or zero length."},
        {RVError::responseSerializationFailed(SR::inputFileNil()),
         "Response could not be serialized, input file was nil."},
        {RVError::responseSerializationFailed(SR::stringSerializationFailed(StringEncoding("utf-16"))),
         "String could not be serialized with encoding: utf-16."},
        {RVError::responseSerializationFailed(SR::jsonSerializationFailed(sampleError())),
         "JSON could not be serialized because of error:\nbroke"},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(error.errorDescription(), message);
        EXPECT_EQ(AnyError(error).localizedDescription(), message);
        EXPECT_EQ(AnyError(error).bridged().localizedDescription(), message);
        EXPECT_EQ(AnyError(error).bridged().code, static_cast<int64_t>(error.kind()));
    }
}

TEST(CoreResult, TransformsAndTexts) {
    Result<int> ok(3);
    Result<int> bad{AnyError(sampleError())};
    bool called = false;
    auto mappedBad = bad.map([&](int v) {
        called = true;
        return v * 2;
    });
    EXPECT_FALSE(called);
    EXPECT_TRUE(mappedBad.isFailure());
    EXPECT_EQ(*ok.map([](int v) { return std::to_string(v); }).value(), "3");

    auto thrown = ok.flatMap([](int) -> int { throw ThrownError(AnyError(RVError::invalidURL(std::string("x")))); });
    ASSERT_TRUE(thrown.isFailure());
    EXPECT_NE(thrown.error()->as<RVError>(), nullptr);

    auto mappedError = bad.mapError([](const AnyError&) { return RVError::invalidURL(std::string("y")); });
    EXPECT_EQ(mappedError.error()->localizedDescription(), "URL is not valid: y");
    EXPECT_THROW((void)bad.unwrap(), ThrownError);
    EXPECT_EQ(Result<int>::catching([]() -> int { throw ThrownError(AnyError(sampleError())); }).error()->description(),
              sampleError().description());

    EXPECT_EQ(ok.description(), "SUCCESS");
    EXPECT_EQ(ok.debugDescription(), "SUCCESS: 3");
    EXPECT_EQ(bad.debugDescription(), "FAILURE: " + sampleError().description());
}

TEST(CoreTimeline, DurationsAndTexts) {
    Timeline t(10.0, 10.25, 11.0, 11.5);
    EXPECT_DOUBLE_EQ(t.latency(), 0.25);
    EXPECT_DOUBLE_EQ(t.requestDuration(), 1.0);
    EXPECT_DOUBLE_EQ(t.serializationDuration(), 0.5);
    EXPECT_DOUBLE_EQ(t.totalDuration(), 1.5);
    EXPECT_EQ(t.description(),
              "Timeline: { \"Latency\": 0.250 secs, \"Request Duration\": 1.000 secs, \"Serialization Duration\": "
              "0.500 secs, \"Total Duration\": 1.500 secs }");
    EXPECT_EQ(t.debugDescription(),
              "Timeline: { \"Request Start Time\": 10.000, \"Initial Response Time\": 10.250, \"Request Completed "
              "Time\": 11.000, \"Serialization Completed Time\": 11.500, \"Latency\": 0.250 secs, \"Request "
              "Duration\": 1.000 secs, \"Serialization Duration\": 0.500 secs, \"Total Duration\": 1.500 secs }");
}

TEST(CoreResponse, DescriptionsAndMetrics) {
    DataResponse<std::string> empty(std::nullopt, nullptr, std::nullopt, Result<std::string>(std::string("v")));
    const std::string text = empty.debugDescription();
    EXPECT_EQ(text.rfind("[Request]: nil\n[Response]: nil\n[Data]: 0 bytes\n[Result]: SUCCESS: v\n[Timeline]: ", 0),
              0u);
    EXPECT_EQ(empty.description(), "SUCCESS: v");

    DownloadResponse<std::string> download(std::nullopt, nullptr, std::nullopt, URL::fileURL("/tmp/d.bin"),
                                           std::nullopt, Result<std::string>(std::string("v")));
    EXPECT_NE(download.debugDescription().find("[TemporaryURL]: nil\n[DestinationURL]: /tmp/d.bin\n"),
              std::string::npos);

    auto metrics = std::make_shared<const platform::URLSessionTaskMetrics>();
    const auto saved = platform::PlatformConfig::current();
    platform::PlatformConfig::update([](auto& s) { s.systemVersion = {9, 3, 0}; });
    empty.add(metrics);
    EXPECT_EQ(empty.metrics(), nullptr);
    platform::PlatformConfig::update([](auto& s) { s.systemVersion = {10, 0, 0}; });
    empty.add(nullptr);
    EXPECT_EQ(empty.metrics(), nullptr);
    empty.add(metrics);
    EXPECT_EQ(empty.metrics(), metrics);
    platform::PlatformConfig::set(saved);

    auto mapped = empty.map([](const std::string& s) { return s.size(); });
    EXPECT_EQ(mapped.metrics(), metrics);  // carried over from the record mapped
    EXPECT_EQ(*mapped.value(), 1u);

    DefaultDataResponse raw(std::nullopt, nullptr, std::nullopt, std::nullopt, Timeline(), metrics);
    EXPECT_EQ(raw.metrics(), nullptr);  // only add() stores metrics
}
