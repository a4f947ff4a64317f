#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

namespace platform::plist {
namespace {

namespace fs = std::filesystem;

const char* formatName(Format f) { return f == Format::XML ? "XML" : "binary"; }

Value everyType() {
    return Value::dictionary({
        {"yes", true},
        {"no", false},
        {"zero", 0},
        {"small", 42},
        {"negative", -5},
        {"int64 max", std::numeric_limits<int64_t>::max()},
        {"int64 min", std::numeric_limits<int64_t>::min()},
        {"real", 3.25},
        {"tiny real", 1e-300},
        {"negative real", -0.5},
        {"string", "plain"},
        {"unicode", "\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80"},
        {"markup", "<a href=\"x\">&amp;</a>"},
        {"whitespace", "  two  spaces\n\tand tab  "},
        {"empty string", ""},
        {"data", Value::data("\x00\x01\xFE\xFF", 4)},
        {"empty data", Value::data("", 0)},
        {"date", Date{700000000}},
        {"date before 2001", Date{-86400}},
        {"array", Value::array({1, "two", Value::array({3.5}), Value::dictionary({{"k", "v"}})})},
        {"empty array", Value::array()},
        {"empty dictionary", Value::dictionary()},
        {"", "empty key"},
    });
}

TEST(PropertyListTest, RoundTripsEveryTypeInBothFormats) {
    const Value v = everyType();
    for (Format f : {Format::XML, Format::Binary}) {
        SCOPED_TRACE(formatName(f));
        auto bytes = write(v, f);
        ASSERT_TRUE(bytes.ok()) << bytes.error().localizedDescription();
        Format detected = f == Format::XML ? Format::Binary : Format::XML;
        auto back = read(*bytes, kDefaultMaxBytes, &detected);
        ASSERT_TRUE(back.ok()) << back.error().localizedDescription();
        EXPECT_EQ(detected, f);
        EXPECT_EQ(*back, v) << back->description();
        // Types survive, not just values: a real stays a real, data stays data.
        EXPECT_TRUE((*back)["real"].isDouble());
        EXPECT_TRUE((*back)["small"].isInteger());
        EXPECT_TRUE((*back)["yes"].isBool());
        EXPECT_TRUE((*back)["data"].isData());
        EXPECT_TRUE((*back)["date"].isDate());
    }
}

TEST(PropertyListTest, LineBreaksInTextSurviveXML) {
    for (const std::string text : {"a\rb", "a\r\nb", "\r", "line\n\r\n\rend"}) {
        SCOPED_TRACE(Value(text).description());
        const Value v = Value::dictionary({{text, Value::array({text})}});
        auto bytes = write(v, Format::XML);
        ASSERT_TRUE(bytes.ok());
        EXPECT_EQ(std::find(bytes->begin(), bytes->end(), '\r'), bytes->end()) << "a raw CR in the XML";
        auto back = read(*bytes);
        ASSERT_TRUE(back.ok()) << back.error().localizedDescription();
        EXPECT_EQ(*back, v);
    }
}

TEST(PropertyListTest, TopLevelScalarsAndBinaryDatePrecision) {
    for (Format f : {Format::XML, Format::Binary}) {
        SCOPED_TRACE(formatName(f));
        for (const Value& v : {Value("text"), Value(7), Value(true), Value(2.5), Value::array()}) {
            auto back = read(*write(v, f));
            ASSERT_TRUE(back.ok()) << back.error().localizedDescription();
            EXPECT_EQ(*back, v);
        }
    }
    // Binary keeps microseconds (either side of the reference date); XML keeps whole seconds.
    for (double t : {700000000.25, -1000.75, 0.5}) {
        SCOPED_TRACE(t);
        auto bin = read(*write(Value(Date{t}), Format::Binary));
        ASSERT_TRUE(bin.ok());
        EXPECT_NEAR(bin->asDate()->timeIntervalSinceReferenceDate, t, 1e-6);
        auto xml = read(*write(Value(Date{t}), Format::XML));
        ASSERT_TRUE(xml.ok());
        EXPECT_NEAR(xml->asDate()->timeIntervalSinceReferenceDate, t, 1.0);
    }
}

TEST(PropertyListTest, ReadsHandWrittenXML) {
    const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>com.example.tesmar</string>
	<key>Count</key>
	<integer>-12</integer>
	<key>Enabled</key>
	<true/>
	<key>Ratio</key>
	<real>0.5</real>
	<key>When</key>
	<date>2001-01-02T00:00:00Z</date>
	<key>Blob</key>
	<data>AAEC</data>
	<key>Items</key>
	<array>
		<string>a</string>
		<dict/>
	</array>
</dict>
</plist>
)";
    auto v = read(xml);
    ASSERT_TRUE(v.ok()) << v.error().localizedDescription();
    EXPECT_EQ((*v)["CFBundleIdentifier"], Value("com.example.tesmar"));
    EXPECT_EQ((*v)["Count"], Value(-12));
    EXPECT_EQ((*v)["Enabled"], Value(true));
    EXPECT_EQ((*v)["Ratio"], Value(0.5));
    EXPECT_EQ((*v)["When"], Value(Date{86400}));
    EXPECT_EQ((*v)["Blob"], Value::data("\x00\x01\x02", 3));
    EXPECT_EQ((*v)["Items"], Value::array({"a", Value::dictionary()}));
}

TEST(PropertyListTest, WriteErrors) {
    struct Case {
        const char* name;
        Value value;
        bool binaryOK;
    };
    const Case cases[] = {
        {"null", Value::dictionary({{"a", Value()}}), false},
        {"object", Value::array({ObjectHandle()}), false},
        {"NaN", Value::array({std::nan("")}), false},
        {"infinity", Value::array({std::numeric_limits<double>::infinity()}), false},
        {"NUL in string", Value::array({std::string("a\0b", 3)}), false},
        {"NUL in key", Value::dictionary({{std::string("a\0b", 3), 1}}), false},
        {"invalid UTF-8", Value::array({"\xC3\x28"}), false},
        {"date beyond 2069", Value::array({Date::distantFuture()}), false},
        {"date before 1933", Value::array({Date::distantPast()}), false},
        {"control character", Value::array({"bell\x07"}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto xml = write(c.value, Format::XML);
        ASSERT_FALSE(xml.ok());
        EXPECT_EQ(xml.error().domain, kCocoaErrorDomain);
        EXPECT_EQ(xml.error().code, 3851);
        EXPECT_EQ(write(c.value, Format::Binary).ok(), c.binaryOK);
    }
    auto bin = write(Value::array({"bell\x07"}), Format::Binary);
    ASSERT_TRUE(bin.ok());
    EXPECT_EQ(*read(*bin), Value::array({"bell\x07"}));
}

// A binary list whose objects are nested one-element arrays, built by hand.
Bytes nestedBinary(size_t depth, bool cycle = false) {
    Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint32_t> offsets;
    for (size_t i = 0; i < depth; ++i) {
        offsets.push_back(uint32_t(out.size()));
        if (i + 1 < depth || cycle) {
            uint32_t ref = i + 1 < depth ? uint32_t(i + 1) : 0;
            out.insert(out.end(), {0xA1, uint8_t(ref >> 16), uint8_t(ref >> 8), uint8_t(ref)});
        } else {
            out.push_back(0xA0);
        }
    }
    const uint64_t table = out.size();
    for (uint32_t o : offsets) out.insert(out.end(), {uint8_t(o >> 24), uint8_t(o >> 16), uint8_t(o >> 8), uint8_t(o)});
    Bytes trailer(32, 0);
    trailer[6] = 4;
    trailer[7] = 3;
    for (int i = 0; i < 8; ++i) {
        trailer[8 + i] = uint8_t(uint64_t(depth) >> (56 - 8 * i));
        trailer[24 + i] = uint8_t(table >> (56 - 8 * i));
    }
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

std::string nestedXML(size_t depth) {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    for (size_t i = 0; i < depth; ++i) s += i % 2 ? "<dict><key>k</key>" : "<array>";
    for (size_t i = depth; i-- > 0;) s += i % 2 ? "</dict>" : "</array>";
    return s + "</plist>";
}

TEST(PropertyListTest, BadInputIsAnErrorNeverACrash) {
    Bytes valid = *write(everyType(), Format::Binary);
    Bytes truncated(valid.begin(), valid.begin() + valid.size() / 2);
    Bytes badTrailer = valid;
    badTrailer[badTrailer.size() - 1] ^= 0x7F;  // offset table moved outside the data
    Bytes badRef = nestedBinary(3);
    badRef[9] = 0x7F;  // first array refers to an object that does not exist

    // A dictionary key with a NUL in it (the underlying library would abort on it).
    Bytes nulKey = *write(Value::dictionary({{"ab", 1}}), Format::Binary);
    for (size_t i = 0; i + 2 < nulKey.size(); ++i)
        if (nulKey[i] == 0x52 && nulKey[i + 1] == 'a' && nulKey[i + 2] == 'b') nulKey[i + 2] = 0;

    struct Case {
        const char* name;
        Bytes data;
    };
    auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    const Case cases[] = {
        {"empty", {}},
        {"plain text", bytes("hello")},
        {"JSON", bytes("{\"a\":1}")},
        {"binary header only", bytes("bplist00")},
        {"other binary version", bytes("bplist01" + std::string(40, '\0'))},
        {"binary truncated", truncated},
        {"binary trailer out of range", badTrailer},
        {"binary reference out of range", badRef},
        {"binary deeper than the cap", nestedBinary(600)},
        {"binary deep enough to overflow the stack", nestedBinary(300000)},
        {"binary cycle", nestedBinary(4, true)},
        {"binary dictionary key with NUL", nulKey},
        {"XML unclosed", bytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string>")},
        {"XML unknown element", bytes("<plist version=\"1.0\"><banana/></plist>")},
        {"XML mismatched close", bytes("<plist version=\"1.0\"><array><string>x</array></string></plist>")},
        {"XML deeper than the cap", bytes(nestedXML(600))},
        {"XML deep enough to overflow the stack", bytes(nestedXML(300000))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = read(c.data);
        ASSERT_FALSE(r.ok()) << r->description().substr(0, 200);
        EXPECT_EQ(r.error().domain, kCocoaErrorDomain);
        EXPECT_EQ(r.error().code, 3840);
        EXPECT_FALSE(r.error().localizedDescription().empty());
    }
    // Just inside the cap is fine, in both formats.
    EXPECT_TRUE(read(nestedBinary(512)).ok());
    EXPECT_TRUE(read(nestedXML(512)).ok());
}

TEST(PropertyListTest, SizeCap) {
    Bytes data = *write(Value::array({"some text"}), Format::XML);
    EXPECT_TRUE(read(data, data.size()).ok());
    auto r = read(data, data.size() - 1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, 3840);
    EXPECT_NE(r.error().localizedDescription().find("larger than the limit"), std::string::npos);
}

class PropertyListFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/plist_test.XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override { fs::remove_all(dir_); }
    size_t entries() const { return size_t(std::distance(fs::directory_iterator(dir_), fs::directory_iterator())); }
    fs::path dir_;
};

TEST_F(PropertyListFileTest, WritesAtomicallyAndReadsBack) {
    const std::string path = (dir_ / "Preferences.plist").string();
    for (Format f : {Format::XML, Format::Binary}) {
        SCOPED_TRACE(formatName(f));
        Value v = everyType();
        v.set("format", formatName(f));
        auto written = writeFile(v, path, f);
        ASSERT_TRUE(written.ok()) << written.error().localizedDescription();
        auto back = readFile(path);
        ASSERT_TRUE(back.ok()) << back.error().localizedDescription();
        EXPECT_EQ(*back, v);
        EXPECT_EQ(entries(), 1u) << "no temporary file is left behind";
    }
    // A failed write leaves the old file as it was.
    EXPECT_FALSE(writeFile(Value::array({Value()}), path).ok());
    EXPECT_EQ((*readFile(path))["format"], Value("binary"));
    EXPECT_EQ(entries(), 1u);
}

TEST_F(PropertyListFileTest, ReplacesASymlinkInsteadOfWritingThroughIt) {
    const fs::path victim = dir_ / "victim.txt";
    std::ofstream(victim) << "untouched";
    const fs::path link = dir_ / "link.plist";
    fs::create_symlink(victim, link);
    ASSERT_TRUE(writeFile(Value::array({1}), link.string()).ok());
    EXPECT_FALSE(fs::is_symlink(link));
    std::ifstream in(victim);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "untouched");
    EXPECT_EQ(*readFile(link.string()), Value::array({1}));
}

TEST_F(PropertyListFileTest, FileErrors) {
    auto missing = readFile((dir_ / "missing.plist").string());
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, 260);
    EXPECT_EQ(missing.error().userInfo[kFilePathErrorKey], Value((dir_ / "missing.plist").string()));

    auto directory = readFile(dir_.string());
    ASSERT_FALSE(directory.ok());

    const std::string big = (dir_ / "big.plist").string();
    ASSERT_TRUE(writeFile(Value::array({std::string(1000, 'x')}), big).ok());
    auto tooBig = readFile(big, 100);
    ASSERT_FALSE(tooBig.ok());
    EXPECT_EQ(tooBig.error().code, 263);

    const std::string garbage = (dir_ / "garbage.plist").string();
    std::ofstream(garbage) << "not a plist";
    auto bad = readFile(garbage);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().code, 3840);

    auto noDir = writeFile(Value::array(), (dir_ / "no" / "such" / "dir.plist").string());
    ASSERT_FALSE(noDir.ok());
    EXPECT_EQ(noDir.error().code, 4);
}

}  // namespace
}  // namespace platform::plist
