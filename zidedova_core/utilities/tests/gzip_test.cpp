#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <random>

#include "zidedova_core/utilities/ZUTGzip.h"

namespace zidedova {
namespace {

using platform::Bytes;

// The largest block asked of operator new on this thread while `watching` is set (see the replacement
// at the end of this file).
thread_local bool watching = false;
thread_local size_t largestBlock = 0;

size_t largestBlockWhile(const std::function<void()>& work) {
    largestBlock = 0;
    watching = true;
    work();
    watching = false;
    return largestBlock;
}

Bytes randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) c = uint8_t(rng());
    return b;
}

Bytes text(size_t n) {
    Bytes b;
    const std::string line = "event=screen_view&ts=1700000000&params=%7B%22a%22%3A1%7D\n";
    while (b.size() < n) b.insert(b.end(), line.begin(), line.end());
    b.resize(n);
    return b;
}

Bytes zlibWrapped(const Bytes& in) {
    uLongf size = compressBound(uLong(in.size()));
    Bytes out(size);
    EXPECT_EQ(compress(out.data(), &size, in.data(), uLong(in.size())), Z_OK);
    out.resize(size);
    return out;
}

// A gzip member with its trailer's length field replaced.
Bytes statingLength(Bytes gz, size_t length) {
    for (int i = 0; i < 4; ++i) gz[gz.size() - 4 + i] = uint8_t(length >> (8 * i));
    return gz;
}

TEST(GzipTest, RoundTripsKeepEveryByteAndWriteOneGzipMember) {
    struct Case {
        const char* name;
        Bytes data;
    } cases[] = {
        {"one byte", Bytes{0x42}},
        {"short text", text(100)},
        {"text past one output chunk", text(5000)},
        {"incompressible", randomBytes(70000, 1)},
        {"highly compressible 1 MB", Bytes(1 << 20, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto gz = ZUTDataByGzippingData(c.data);
        ASSERT_TRUE(gz.ok());
        ASSERT_GE(gz->size(), 18u);
        EXPECT_EQ((*gz)[0], 0x1f);
        EXPECT_EQ((*gz)[1], 0x8b);
        auto back = ZUTDataByInflatingGzippedData(*gz);
        ASSERT_TRUE(back.ok()) << back.error().description();
        EXPECT_EQ(*back, c.data);
        // A zlib-wrapped stream of the same bytes inflates too.
        auto fromZlib = ZUTDataByInflatingGzippedData(zlibWrapped(c.data));
        ASSERT_TRUE(fromZlib.ok());
        EXPECT_EQ(*fromZlib, c.data);
    }
}

TEST(GzipTest, EmptyInputGivesNothingAndNoError) {
    auto gz = ZUTDataByGzippingData({});
    ASSERT_TRUE(gz.ok());
    EXPECT_TRUE(gz->empty());
    auto inflated = ZUTDataByInflatingGzippedData({});
    ASSERT_TRUE(inflated.ok());
    EXPECT_TRUE(inflated->empty());
    // Another writer's member of nothing: its trailer states a length of 0.
    const Bytes emptyMember = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    inflated = ZUTDataByInflatingGzippedData(emptyMember);
    ASSERT_TRUE(inflated.ok()) << inflated.error().description();
    EXPECT_TRUE(inflated->empty());
}

TEST(GzipTest, BadStreamsFailWithTheirCodesAndNoData) {
    const Bytes good = *ZUTDataByGzippingData(text(3000));
    Bytes trailing = good;
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
    Bytes twoMembers = good;
    twoMembers.insert(twoMembers.end(), good.begin(), good.end());
    Bytes badCrc = good;
    badCrc[badCrc.size() - 6] ^= 0xff;
    Bytes hugeLength = good;  // a stated length no deflate stream of this size can reach
    hugeLength[hugeLength.size() - 1] = 0x7f;

    struct Case {
        const char* name;
        Bytes input;
        int64_t code;
        int64_t remaining;  // -1: no remaining-bytes key
    } cases[] = {
        {"trailing bytes", trailing, ZUTNSDataZlibErrorDataRemaining, 5},
        {"a second member", twoMembers, ZUTNSDataZlibErrorDataRemaining, int64_t(good.size())},
        {"truncated in the body", Bytes(good.begin(), good.begin() + good.size() / 2), ZUTNSDataZlibErrorInternal, -1},
        {"truncated in the trailer", Bytes(good.begin(), good.end() - 3), ZUTNSDataZlibErrorInternal, -1},
        {"header only", Bytes(good.begin(), good.begin() + 10), ZUTNSDataZlibErrorInternal, -1},
        {"not compressed at all", text(64), ZUTNSDataZlibErrorInternal, -1},
        {"checksum mismatch", badCrc, ZUTNSDataZlibErrorInternal, -1},
        {"length trailer lies", hugeLength, ZUTNSDataZlibErrorInternal, -1},
        {"length trailer states less", statingLength(good, 1), ZUTNSDataZlibErrorInternal, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = ZUTDataByInflatingGzippedData(c.input);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().domain, kZUTNSDataZlibErrorDomain);
        EXPECT_EQ(r.error().code, c.code);
        if (c.remaining >= 0) {
            EXPECT_EQ(r.error().userInfo[kZUTNSDataZlibRemainingBytesKey].integerOr(-1), c.remaining);
        } else {
            EXPECT_TRUE(r.error().userInfo[kZUTNSDataZlibErrorKey].isInteger());
        }
    }
}

// A gzip member's trailer states its inflated length, but it is outside data: it sizes the output only
// up to 16 times the input. An honest length there is the one block held; a larger one, up to deflate's
// largest ratio, costs no more than an honest stream would; a lie fails either way.
TEST(GzipTest, AStatedLengthSizesTheOutputOnlyUpToABound) {
    Bytes twoLetters = randomBytes(256 * 1024, 3);  // about 6 to 1 under deflate
    for (auto& c : twoLetters) c = 'a' + (c & 1);
    const Bytes honest = *ZUTDataByGzippingData(twoLetters);
    const Bytes random = *ZUTDataByGzippingData(randomBytes(64 * 1024, 2));
    struct Case {
        const char* name;
        Bytes input;
        bool inflates;
        size_t largestAtMost;
    } cases[] = {
        {"an honest length within the bound", honest, true, twoLetters.size()},
        {"a lie at the bound", statingLength(random, random.size() * 16), false, random.size() * 16},
        {"a lie at deflate's largest ratio", statingLength(random, random.size() * 1000), false, random.size() * 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<platform::Result<Bytes>> inflated;
        const size_t largest = largestBlockWhile([&] { inflated.emplace(ZUTDataByInflatingGzippedData(c.input)); });
        ASSERT_EQ(inflated->ok(), c.inflates);
        if (!c.inflates) {
            EXPECT_EQ(inflated->error().code, ZUTNSDataZlibErrorInternal);
        }
        EXPECT_LE(largest, c.largestAtMost);
    }
}

}  // namespace
}  // namespace zidedova

// Counts for largestBlockWhile(); otherwise the usual allocation. The forms that pair with these are
// replaced too (a sanitizer's own would take these blocks for mismatched ones), and kept out of line so
// the compiler does not pair an inlined free with an operator new it sees.
void* operator new(size_t size) {
    if (zidedova::watching) zidedova::largestBlock = std::max(zidedova::largestBlock, size);
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, size_t) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
