#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/foundation/Date.h"

using platform::Date;

namespace {

// 1994-11-06 08:49:37 UTC
constexpr double kSample = 784111777;

class ScopedTZ {
public:
    explicit ScopedTZ(const char* tz) {
        if (const char* old = std::getenv("TZ")) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTZ() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

TEST(DateTest, FormatsISO8601InUTCAndLocalZone) {
    Date d = Date::fromTimeIntervalSince1970(kSample + 0.75);
    EXPECT_EQ(d.iso8601UTC(), "1994-11-06T08:49:37Z");
    {
        ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
        EXPECT_EQ(d.iso8601Local(), "1994-11-06T09:49:37+01:00");
        EXPECT_EQ(Date::fromTimeIntervalSince1970(kSample - 120 * 86400).iso8601Local(), "1994-07-09T10:49:37+02:00");
    }
    {
        ScopedTZ tz("<-0330>3:30");
        EXPECT_EQ(d.iso8601Local(), "1994-11-06T05:19:37-03:30");
    }
    EXPECT_EQ(Date::fromTimeIntervalSince1970(-0.5).iso8601UTC(), "1969-12-31T23:59:59Z");
}

TEST(DateTest, ParsesISO8601) {
    struct Case {
        const char* text;
        double expected;
    };
    const Case valid[] = {
        {"1994-11-06T08:49:37Z", kSample},
        {"1994-11-06T09:49:37+01:00", kSample},
        {"1994-11-06T09:49:37+0100", kSample},
        {"1994-11-06T05:19:37-03:30", kSample},
        {"1994-11-06T08:49:37.250Z", kSample + 0.25},
        {"2000-02-29T00:00:00Z", 951782400},
        {"2016-12-31T23:59:60Z", 1483228800},
    };
    for (const auto& c : valid) {
        Date d;
        ASSERT_TRUE(Date::parseISO8601(c.text, d)) << c.text;
        EXPECT_DOUBLE_EQ(d.timeIntervalSince1970(), c.expected) << c.text;
    }
    const char* invalid[] = {"",
                             "1994-11-06",
                             "1994-11-06T08:49:37",
                             "1994-11-06 08:49:37Z",
                             "1994-13-06T08:49:37Z",
                             "1994-02-30T08:49:37Z",
                             "1900-02-29T00:00:00Z",
                             "1994-11-06T24:00:00Z",
                             "1994-11-06T08:49:37+25:00",
                             "1994-11-06T08:49:37.Z",
                             "1994-11-06T08:49:37Zjunk",
                             "94-11-06T08:49:37Z"};
    for (const char* text : invalid) {
        Date d;
        EXPECT_FALSE(Date::parseISO8601(text, d)) << text;
    }
}

TEST(DateTest, RoundTripsThroughBothForms) {
    for (double s : {0.0, kSample, 1767225600.0, 4102444799.0}) {
        Date d = Date::fromTimeIntervalSince1970(s), back;
        ASSERT_TRUE(Date::parseISO8601(d.iso8601UTC(), back));
        EXPECT_EQ(back, d);
        ASSERT_TRUE(Date::parseISO8601(d.iso8601Local(), back));
        EXPECT_EQ(back, d);
        ASSERT_TRUE(Date::parseHTTPDate(d.httpDate(), back));
        EXPECT_EQ(back, d);
    }
}

TEST(DateTest, HTTPDates) {
    EXPECT_EQ(Date::fromTimeIntervalSince1970(kSample).httpDate(), "Sun, 06 Nov 1994 08:49:37 GMT");
    struct Case {
        const char* text;
        double expected;
    };
    const Case valid[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", kSample},   // RFC 1123
        {"Sunday, 06-Nov-94 08:49:37 GMT", kSample},  // RFC 850
        {"Sun Nov  6 08:49:37 1994", kSample},        // asctime
        {"06 nov 1994 8:49:37", kSample},             // loose cookie forms
        {"Wed, 09 Jun 2021 10:18:14 GMT", 1623233894},
        {"Thu, 01-Jan-70 00:00:01 GMT", 1},
        {"Fri, 01 Jan 2038 00:00:00 GMT", 2145916800},
        {"Sat, 01 Jan 2050 00:00:00 GMT", 2524608000},  // past 2038
        {"Tue, 01-Jan-69 00:00:00 GMT", 3124224000},    // two-digit 69 is 2069
    };
    for (const auto& c : valid) {
        Date d;
        ASSERT_TRUE(Date::parseHTTPDate(c.text, d)) << c.text;
        EXPECT_DOUBLE_EQ(d.timeIntervalSince1970(), c.expected) << c.text;
    }
    const char* invalid[] = {"",
                             "garbage",
                             "Sun, 06 Nov 1994 GMT",
                             "Sun, 32 Nov 1994 08:49:37 GMT",
                             "Sun, 06 Nov 1994 24:00:00 GMT",
                             "Sun, 06 Foo 1994 08:49:37 GMT",
                             "Sun, 31 Feb 1994 08:49:37 GMT",
                             "Sun, 06 Nov 1600 08:49:37 GMT",
                             "Sun, 06 Nov 19940 08:49:37 GMT"};
    for (const char* text : invalid) {
        Date d;
        EXPECT_FALSE(Date::parseHTTPDate(text, d)) << text;
    }
}

TEST(DateTest, WallClockSourceReplacesAndRestoresTheSystemClock) {
    double real = Date::now().timeIntervalSince1970();
    platform::setWallClockSource([] { return 1000.0; });
    EXPECT_DOUBLE_EQ(Date::now().timeIntervalSince1970(), 1000.0);
    platform::setWallClockSource(nullptr);
    EXPECT_GE(Date::now().timeIntervalSince1970(), real);
}

}  // namespace
