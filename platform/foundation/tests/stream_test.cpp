#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/foundation/Stream.h"
#include "testing/TemporaryDeviceRoot.h"

namespace platform {
namespace {

std::string drain(InputStream& in, size_t chunk) {
    std::string out;
    std::vector<uint8_t> buffer(chunk);
    for (;;) {
        ssize_t n = in.read(buffer.data(), buffer.size());
        EXPECT_GE(n, 0);
        if (n <= 0) break;
        out.append(buffer.begin(), buffer.begin() + n);
    }
    return out;
}

class StreamTest : public ::testing::Test {
protected:
    tesmar_testing::TemporaryDeviceRoot device{"tesmar-device", {}};
    const std::string root = device.path();
};

TEST_F(StreamTest, MemoryRoundTrip) {
    auto out = OutputStream::toMemory();
    uint8_t b = 'x';
    EXPECT_EQ(out->write(&b, 1), -1);  // not open yet
    out->open();
    EXPECT_TRUE(out->hasSpaceAvailable());
    EXPECT_EQ(out->write(reinterpret_cast<const uint8_t*>("hello "), 6), 6);
    EXPECT_EQ(out->write(reinterpret_cast<const uint8_t*>("world"), 5), 5);
    auto data = out->propertyForKey(kStreamDataWrittenToMemoryStreamKey);
    ASSERT_TRUE(data);
    ASSERT_TRUE(data->isData());
    out->close();
    EXPECT_FALSE(out->hasSpaceAvailable());

    auto in = InputStream::withData(*data->asData());
    EXPECT_FALSE(in->hasBytesAvailable());
    in->open();
    EXPECT_TRUE(in->hasBytesAvailable());
    EXPECT_EQ(drain(*in, 4), "hello world");
    EXPECT_EQ(in->streamStatus(), StreamStatus::AtEnd);
    EXPECT_FALSE(in->hasBytesAvailable());
}

TEST_F(StreamTest, FileRoundTripTruncatesOrAppends) {
    const std::string path = root + "/out.bin";
    for (auto [append, text] : {std::pair{false, "first"}, std::pair{true, "+more"}}) {
        auto out = OutputStream::toFileAtPath(path, append);
        out->open();
        ASSERT_EQ(out->streamStatus(), StreamStatus::Open);
        std::string s = text;
        EXPECT_EQ(out->write(reinterpret_cast<const uint8_t*>(s.data()), s.size()), ssize_t(s.size()));
        out->close();
        EXPECT_FALSE(out->streamError());
    }
    auto in = InputStream::withFileAtPath(path);
    in->open();
    EXPECT_EQ(drain(*in, 3), "first+more");
    in->close();

    auto again = OutputStream::toFileAtPath(path, false);
    again->open();
    again->close();
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

TEST_F(StreamTest, FullDiskIsAnErrorNotAShortWrite) {
    auto out = OutputStream::toFileAtPath("/dev/full", false);
    out->open();
    ASSERT_EQ(out->streamStatus(), StreamStatus::Open);
    std::string block(4096, 'z');
    EXPECT_EQ(out->write(reinterpret_cast<const uint8_t*>(block.data()), block.size()), -1);
    EXPECT_EQ(out->streamStatus(), StreamStatus::Error);
    ASSERT_TRUE(out->streamError());
    EXPECT_EQ(out->streamError()->domain, kPOSIXErrorDomain);
    EXPECT_EQ(out->streamError()->code, ENOSPC);
    EXPECT_EQ(out->write(reinterpret_cast<const uint8_t*>("a"), 1), -1);  // stays failed
}

TEST_F(StreamTest, OpeningFailuresAreReported) {
    auto in = InputStream::withFileAtPath(root + "/missing");
    in->open();
    EXPECT_EQ(in->streamStatus(), StreamStatus::Error);
    EXPECT_EQ(in->streamError()->code, ENOENT);
    uint8_t buffer[8];
    EXPECT_EQ(in->read(buffer, sizeof buffer), -1);

    auto out = OutputStream::toFileAtPath(root + "/no/dir/file", false);
    out->open();
    EXPECT_EQ(out->streamStatus(), StreamStatus::Error);
    EXPECT_EQ(out->write(buffer, 1), -1);

    EXPECT_EQ(InputStream::withFileAtPath(""), nullptr);
    EXPECT_EQ(OutputStream::toFileAtPath("", true), nullptr);

    auto dir = InputStream::withFileAtPath(root);
    dir->open();
    EXPECT_EQ(dir->read(buffer, sizeof buffer), -1);  // reading a folder fails (EISDIR)
    EXPECT_EQ(dir->streamStatus(), StreamStatus::Error);
}

}  // namespace
}  // namespace platform
