#pragma once
// Points in time as the platform counts them: seconds (double) since 2001-01-01 00:00:00 UTC.
#include <compare>
#include <functional>
#include <string>

namespace platform {

// Seconds between 1970-01-01 and 2001-01-01.
inline constexpr double kTimeIntervalSince1970 = 978307200.0;

struct Date {
    double timeIntervalSinceReferenceDate = 0;

    // Wall-clock time (not the dispatch Clock, which measures intervals): the device's clock, which is the
    // system's unless the device replaced it (setWallClockSource).
    static Date now();
    static Date fromTimeIntervalSince1970(double s) { return Date{s - kTimeIntervalSince1970}; }
    static Date distantFuture() { return Date{63113904000.0}; }
    static Date distantPast() { return Date{-63114076800.0}; }

    double timeIntervalSince1970() const { return timeIntervalSinceReferenceDate + kTimeIntervalSince1970; }
    double timeIntervalSince(Date other) const {
        return timeIntervalSinceReferenceDate - other.timeIntervalSinceReferenceDate;
    }
    double timeIntervalSinceNow() const { return timeIntervalSince(now()); }
    Date addingTimeInterval(double s) const { return Date{timeIntervalSinceReferenceDate + s}; }

    // "2026-12-07T04:12:37+01:00" in the process's local time zone (TZ), whole seconds.
    std::string iso8601Local() const;
    // "2026-12-07T04:12:37Z".
    std::string iso8601UTC() const;
    // Parses ISO 8601 with 'Z' or a ±hh:mm / ±hhmm offset and optional fractional seconds.
    static bool parseISO8601(const std::string& text, Date& out);
    // RFC 1123 form used by HTTP ("Sun, 06 Nov 1994 08:49:37 GMT").
    std::string httpDate() const;
    // Parses the HTTP date forms (RFC 1123, RFC 850, asctime) and cookie dates (RFC 6265 §5.1.1).
    static bool parseHTTPDate(const std::string& text, Date& out);

    auto operator<=>(const Date&) const = default;
    bool operator==(const Date&) const = default;
};

// Replaces the device's wall clock (seconds since 1970); an empty function restores the system clock.
// The host uses it to move the device's time by hand. Thread-safe.
void setWallClockSource(std::function<double()> secondsSince1970);

}  // namespace platform
