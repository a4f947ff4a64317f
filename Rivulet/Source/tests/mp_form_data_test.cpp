// Multipart bodies: exact bytes, both encoders, header safety, append failures and refused writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "Rivulet/Source/MultipartFormData.h"
#include "platform/foundation/FileManager.h"

using namespace rivulet;
using platform::Bytes;
using platform::URL;
using Kind = RVError::MultipartEncodingFailureReason::Kind;

namespace {

const std::string B = "rivulet.boundary.0123456789abcdef";

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The reason of a multipart failure raised by `body`; nullopt when nothing was raised.
std::optional<RVError::MultipartEncodingFailureReason> failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const ThrownError& thrown) {
        auto rv = thrown.error().as<RVError>();
        if (rv && rv->multipartEncodingReason()) return *rv->multipartEncodingReason();
        ADD_FAILURE() << "not a multipart failure: " << thrown.error().description();
    }
    return std::nullopt;
}

class FormDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rivulet-mp-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string write(const std::string& name, const std::string& contents) {
        std::ofstream(dir + "/" + name, std::ios::binary) << contents;
        return dir + "/" + name;
    }
    std::string dir;
};

}  // namespace

TEST_F(FormDataTest, ExactBytesFromMemoryAndFileAgree) {
    struct Case {
        const char* what;
        std::function<void(MultipartFormData&)> fill;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"no parts", [](MultipartFormData&) {}, ""},
        {"one part, name only", [](MultipartFormData& f) { f.append(bytes("xyz"), "a"); },
         "--" + B + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxyz\r\n--" + B + "--\r\n"},
        {"two parts, the second empty with file name and type",
         [](MultipartFormData& f) {
             f.append(bytes("1"), "n", "text/plain");
             f.append(Bytes{}, "f", "e.bin", "application/octet-stream");
         },
         "--" + B + "\r\nContent-Disposition: form-data; name=\"n\"\r\nContent-Type: text/plain\r\n\r\n1\r\n--" + B +
             "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"e.bin\"\r\nContent-Type: "
             "application/octet-stream\r\n\r\n\r\n--" +
             B + "--\r\n"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MultipartFormData inMemory(B);
        c.fill(inMemory);
        const Bytes encoded = inMemory.encode();
        EXPECT_EQ(text(encoded), c.expected);
        EXPECT_EQ(encoded.capacity(), encoded.size());  // sized once: nothing was copied twice

        MultipartFormData toFile(B);
        c.fill(toFile);
        const std::string path = dir + "/out" + std::to_string(n++);
        toFile.writeEncodedData(URL::fileURL(path));
        EXPECT_EQ(readFile(path), c.expected);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_F(FormDataTest, LargeFilePartRoundTripsThroughBothEncoders) {
    std::string content;
    for (int i = 0; i < 5000; ++i) content += char('a' + i % 26);
    const std::string path = write("big.txt", content);
    auto fill = [&](MultipartFormData& f) {
        f.append(bytes("head"), "h");
        f.append(URL::fileURL(path), "file");
    };
    MultipartFormData a(B), b(B);
    fill(a);
    fill(b);
    EXPECT_EQ(a.contentLength(), 5004u);
    const std::string expected = "--" + B + "\r\nContent-Disposition: form-data; name=\"h\"\r\n\r\nhead\r\n--" + B +
                                 "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.txt\"\r\n"
                                 "Content-Type: text/plain\r\n\r\n" +
                                 content + "\r\n--" + B + "--\r\n";
    const Bytes encoded = a.encode();
    EXPECT_EQ(text(encoded), expected);
    EXPECT_EQ(encoded.capacity(), encoded.size());  // a file's end grows nothing
    b.writeEncodedData(URL::fileURL(dir + "/out"));
    EXPECT_EQ(readFile(dir + "/out"), expected);
}

namespace {

Bytes pattern(size_t size, uint8_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = uint8_t(i * 7 + seed);
    return out;
}

std::string partText(bool first, const std::string& name, const Bytes& body) {
    return (first ? "" : "\r\n") + ("--" + B + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n") +
           text(body);
}

std::string encodedToMemoryStream(MultipartFormData& form) {
    auto out = platform::OutputStream::toMemory();
    form.writeEncodedData(*out);
    auto data = out->propertyForKey(platform::kStreamDataWrittenToMemoryStreamKey);
    return data && data->asData() ? text(*data->asData()) : "<no data>";
}

// Yields `good` bytes, then fails as a failing disk would.
class FailingStream final : public platform::InputStream {
public:
    explicit FailingStream(size_t good) : good_(good) {}
    void open() override { status_ = platform::StreamStatus::Open; }
    void close() override {
        if (status_ != platform::StreamStatus::Error) status_ = platform::StreamStatus::Closed;
    }
    ssize_t read(uint8_t* buffer, size_t maxLength) override {
        if (given_ == good_) {
            fail(EIO);
            return -1;
        }
        const size_t n = std::min(maxLength, good_ - given_);
        std::memset(buffer, 'q', n);
        given_ += n;
        return ssize_t(n);
    }
    bool hasBytesAvailable() const override { return status_ == platform::StreamStatus::Open; }

private:
    size_t good_;
    size_t given_ = 0;
};

}  // namespace

TEST_F(FormDataTest, BodiesOfEverySizeAgreeOnEveryRoad) {
    // Sizes around the reads and writes an encoder may make, and declared lengths that are wrong or
    // unknown (0).
    struct Part {
        size_t size;
        uint64_t declared;
    };
    const std::vector<Part> parts = {{0, 0},           {1, 1},           {1023, 1023},     {1024, 1024},
                                     {65537, 65537},   {262143, 262143}, {262144, 262144}, {262145, 262145},
                                     {700001, 700001}, {300000, 1},      {5, 1000000},     {1, 0},
                                     {1024, 0},        {262144, 0},      {600000, 0},      {3, 3}};
    auto fill = [&](MultipartFormData& f) {
        for (size_t i = 0; i < parts.size(); ++i)
            f.append(platform::InputStream::withData(pattern(parts[i].size, uint8_t(i))), parts[i].declared,
                     MultipartFormData::contentHeaders("p" + std::to_string(i)));
    };
    std::string expected;
    for (size_t i = 0; i < parts.size(); ++i)
        expected += partText(i == 0, "p" + std::to_string(i), pattern(parts[i].size, uint8_t(i)));
    expected += "\r\n--" + B + "--\r\n";

    MultipartFormData inMemory(B), toFile(B), toStream(B);
    fill(inMemory);
    fill(toFile);
    fill(toStream);
    EXPECT_TRUE(text(inMemory.encode()) == expected);
    toFile.writeEncodedData(URL::fileURL(dir + "/out"));
    EXPECT_TRUE(readFile(dir + "/out") == expected);
    EXPECT_TRUE(encodedToMemoryStream(toStream) == expected);

    // Many small parts: the file road gathers them into few writes, in order.
    MultipartFormData small(B), smallFile(B);
    std::string smallExpected;
    for (int i = 0; i < 3000; ++i) {
        const Bytes body = pattern(size_t(i % 300), uint8_t(i));
        small.append(body, "s" + std::to_string(i));
        smallFile.append(body, "s" + std::to_string(i));
        smallExpected += partText(i == 0, "s" + std::to_string(i), body);
    }
    smallExpected += "\r\n--" + B + "--\r\n";
    EXPECT_TRUE(text(small.encode()) == smallExpected);
    smallFile.writeEncodedData(URL::fileURL(dir + "/small"));
    EXPECT_TRUE(readFile(dir + "/small") == smallExpected);
}

TEST_F(FormDataTest, AReadFailureLeavesEverythingReadBeforeItInTheFile) {
    const Bytes first = pattern(300000, 1);
    MultipartFormData form(B), inMemory(B);
    for (auto* f : {&form, &inMemory}) {
        f->append(first, "a");
        f->append(std::make_shared<FailingStream>(70000), 100000, MultipartFormData::contentHeaders("b"));
    }
    auto inMemoryFailure = failureOf([&] { inMemory.encode(); });
    ASSERT_TRUE(inMemoryFailure);
    EXPECT_EQ(inMemoryFailure->kind, Kind::inputStreamReadFailed);
    auto failure = failureOf([&] { form.writeEncodedData(URL::fileURL(dir + "/partial")); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, Kind::inputStreamReadFailed);
    ASSERT_TRUE(failure->error);
    EXPECT_EQ(failure->error->bridged().code, EIO);
    const std::string expected = partText(true, "a", first) + partText(false, "b", Bytes(70000, 'q'));
    EXPECT_TRUE(readFile(dir + "/partial") == expected);
}

TEST_F(FormDataTest, NamesCannotInjectHeaders) {
    MultipartFormData form(B);
    form.append(bytes("v"), "a\"\r\nX-Evil: 1", "f\".txt\r\nX-Evil: 2", "text/plain\r\nX-Evil: 3");
    form.append(platform::InputStream::withData(bytes("w")), 1, {{"X-Name\r\nX-Evil", "4\r\n"}});
    const std::string body = text(form.encode());
    EXPECT_NE(body.find("name=\"a%22%0D%0AX-Evil: 1\"; filename=\"f%22.txt%0D%0AX-Evil: 2\"\r\n"), std::string::npos)
        << body;
    EXPECT_NE(body.find("Content-Type: text/plain  X-Evil: 3\r\n"), std::string::npos) << body;
    EXPECT_NE(body.find("X-Name  X-Evil: 4  \r\n"), std::string::npos) << body;
    EXPECT_EQ(body.find("\r\nX-Evil"), std::string::npos) << body;
}

TEST_F(FormDataTest, FileAppendFailuresKeepTheFirstAndStopBothEncoders) {
    const std::string plain = write("plain.txt", "0123456789");
    write("noext", "x");
    struct Case {
        const char* what;
        URL url;
        Kind expected;
    };
    const std::vector<Case> cases = {
        {"not a file URL", *URL::string("https://example.com/a.txt"), Kind::bodyPartURLInvalid},
        {"no extension", URL::fileURL(dir + "/noext"), Kind::bodyPartFilenameInvalid},
        {"missing", URL::fileURL(dir + "/missing.txt"), Kind::bodyPartFileNotReachable},
        {"directory", URL::fileURL(dir + "/sub.d"), Kind::bodyPartFileIsDirectory},
        {"through a file", URL::fileURL(plain + "/x.txt"), Kind::bodyPartFileNotReachableWithError},
    };
    std::filesystem::create_directory(dir + "/sub.d");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MultipartFormData form(B);
        form.append(c.url, "f");
        form.append(URL::fileURL("/dev/zero"), "g", "zero.bin", "application/octet-stream");  // a second failure
        form.append(bytes("abc"), "later");
        form.append(URL::fileURL(plain), "file");
        EXPECT_EQ(form.contentLength(), 13u);
        EXPECT_EQ(form.bodyParts().size(), 2u);
        auto inMemory = failureOf([&] { form.encode(); });
        ASSERT_TRUE(inMemory);
        EXPECT_EQ(inMemory->kind, c.expected);
        auto toFile = failureOf([&] { form.writeEncodedData(URL::fileURL(dir + "/never")); });
        ASSERT_TRUE(toFile);
        EXPECT_EQ(toFile->kind, c.expected);
        EXPECT_FALSE(std::filesystem::exists(dir + "/never"));
    }
    MultipartFormData device(B);
    device.append(URL::fileURL("/dev/zero"), "z", "zero", "application/octet-stream");
    ASSERT_TRUE(device.bodyPartError());
    EXPECT_EQ(device.bodyPartError()->multipartEncodingReason()->kind, Kind::bodyPartFileSizeNotAvailable);
}

TEST_F(FormDataTest, OutputTargetsThatMustBeRefused) {
    const std::string existing = write("existing.txt", "keep me");
    const std::string linked = dir + "/link";
    ASSERT_EQ(::symlink((dir + "/target-of-link").c_str(), linked.c_str()), 0);
    struct Case {
        const char* what;
        URL url;
        Kind expected;
    };
    const std::vector<Case> cases = {
        {"existing file", URL::fileURL(existing), Kind::outputStreamFileAlreadyExists},
        {"dangling link", URL::fileURL(linked), Kind::outputStreamFileAlreadyExists},
        {"not a file URL", *URL::string("https://example.com/out"), Kind::outputStreamURLInvalid},
        {"no such directory", URL::fileURL(dir + "/no/such/out"), Kind::outputStreamCreationFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MultipartFormData form(B);
        form.append(bytes("data"), "d");
        auto failure = failureOf([&] { form.writeEncodedData(c.url); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind, c.expected);
    }
    EXPECT_EQ(readFile(existing), "keep me");
    EXPECT_FALSE(std::filesystem::exists(dir + "/target-of-link"));
}

TEST_F(FormDataTest, RefusedWritesAndUnopenableStreamsAreErrors) {
    {
        SCOPED_TRACE("disk full");
        MultipartFormData form(B);
        form.append(Bytes(4096, 'x'), "d");
        auto full = platform::OutputStream::toFileAtPath("/dev/full", false);
        auto failure = failureOf([&] { form.writeEncodedData(*full); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind, Kind::outputStreamWriteFailed);
        ASSERT_TRUE(failure->error);
        EXPECT_EQ(failure->error->bridged().code, ENOSPC);
    }
    auto unopenable = [&](MultipartFormData& form) {
        form.append(bytes("before"), "a");
        form.append(platform::InputStream::withFileAtPath(dir + "/gone.bin"), 10, "s", "gone.bin",
                    "application/octet-stream");
    };
    MultipartFormData inMemory(B), toFile(B);
    unopenable(inMemory);
    unopenable(toFile);
    auto a = failureOf([&] { inMemory.encode(); });
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, Kind::inputStreamReadFailed);
    auto b = failureOf([&] { toFile.writeEncodedData(URL::fileURL(dir + "/partial")); });
    ASSERT_TRUE(b);
    EXPECT_EQ(b->kind, Kind::inputStreamReadFailed);
    EXPECT_EQ(readFile(dir + "/partial").rfind("--" + B, 0), 0u);  // what was written stays for the caller
}

TEST(FormDataBoundary, FormatTypeAndMimeTable) {
    MultipartFormData a, b;
    const std::string prefix = "rivulet.boundary.";
    EXPECT_EQ(a.boundary().rfind(prefix, 0), 0u) << a.boundary();
    EXPECT_EQ(a.boundary().find_first_not_of("0123456789abcdef", prefix.size()), std::string::npos) << a.boundary();
    EXPECT_EQ(a.boundary().size(), 33u);  // 17 of prefix, 16 hex digits
    EXPECT_NE(a.boundary(), b.boundary());
    EXPECT_EQ(a.contentType(), "multipart/form-data; boundary=" + a.boundary());
    b.setContentType("multipart/mixed; boundary=x");
    EXPECT_EQ(b.contentType(), "multipart/mixed; boundary=x");

    const std::vector<std::pair<std::string, std::string>> types = {
        {"png", "image/png"}, {"JPG", "image/jpeg"}, {"json", "application/json"}, {"zzz", "application/octet-stream"}};
    for (const auto& [ext, type] : types) EXPECT_EQ(mimeTypeForPathExtension(ext), type) << ext;
}
