#include "platform/foundation/Date.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string_view>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ASCII.h"

namespace platform {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Whole seconds, rounded toward the past so a time never prints ahead of itself.
bool toTm(const Date& d, bool local, std::tm& out) {
    double s = std::floor(d.timeIntervalSince1970());
    if (!(s > -1e15 && s < 1e15)) return false;
    time_t t = static_cast<time_t>(s);
    return (local ? localtime_r(&t, &out) : gmtime_r(&t, &out)) != nullptr;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Seconds since 1970 of a broken-down UTC time; false when the fields do not name a real calendar date.
bool fromUTCFields(int year, int month, int day, int hour, int minute, int second, double& out) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    time_t t = timegm(&tm);
    // timegm normalises 31 February into March: a changed field means the date does not exist.
    if (tm.tm_mday != day || tm.tm_mon != month - 1 || tm.tm_year != year - 1900) return false;
    out = static_cast<double>(t);
    return true;
}

// Reads exactly n digits at pos.
bool readDigits(std::string_view s, size_t& pos, size_t n, int& out) {
    if (pos + n > s.size()) return false;
    int v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!isDigit(s[pos + i])) return false;
        v = v * 10 + (s[pos + i] - '0');
    }
    pos += n;
    out = v;
    return true;
}

bool isCookieDelimiter(unsigned char c) {
    return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E);
}

// 1*2DIGIT ( non-digit *OCTET ): leading one or two digits not followed by a third.
bool leadingDigits(std::string_view token, size_t minDigits, size_t maxDigits, int& value, size_t& used) {
    size_t n = 0;
    while (n < token.size() && isDigit(token[n])) ++n;
    if (n < minDigits || n > maxDigits) return false;
    value = 0;
    for (size_t i = 0; i < n; ++i) value = value * 10 + (token[i] - '0');
    used = n;
    return true;
}

bool parseTimeToken(std::string_view token, int& h, int& m, int& s) {
    int fields[3];
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        size_t used;
        if (!leadingDigits(token.substr(pos), 1, 2, fields[i], used)) return false;
        pos += used;
        if (i < 2) {
            if (pos >= token.size() || token[pos] != ':') return false;
            ++pos;
        }
    }
    h = fields[0];
    m = fields[1];
    s = fields[2];
    return true;
}

}  // namespace

namespace {
dispatch::Mutex wallClockMutex;
std::shared_ptr<const std::function<double()>> wallClock GUARDED_BY(wallClockMutex);
}  // namespace

void setWallClockSource(std::function<double()> secondsSince1970) {
    dispatch::MutexLock lock(wallClockMutex);
    if (secondsSince1970)
        wallClock = std::make_shared<const std::function<double()>>(std::move(secondsSince1970));
    else
        wallClock.reset();
}

Date Date::now() {
    std::shared_ptr<const std::function<double()>> source;
    {
        dispatch::MutexLock lock(wallClockMutex);
        source = wallClock;
    }
    if (source) return fromTimeIntervalSince1970((*source)());
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return fromTimeIntervalSince1970(static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9);
}

std::string Date::iso8601Local() const {
    std::tm tm{};
    if (!toTm(*this, true, tm)) return iso8601UTC();
    long offset = tm.tm_gmtoff;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, sign, offset / 3600, (offset % 3600) / 60);
    return buf;
}

std::string Date::iso8601UTC() const {
    std::tm tm{};
    if (!toTm(*this, false, tm)) return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool Date::parseISO8601(const std::string& text, Date& out) {
    std::string_view s = text;
    size_t pos = 0;
    int year, month, day, hour, minute, second;
    if (!readDigits(s, pos, 4, year) || pos >= s.size() || s[pos++] != '-' || !readDigits(s, pos, 2, month) ||
        pos >= s.size() || s[pos++] != '-' || !readDigits(s, pos, 2, day))
        return false;
    if (pos >= s.size() || (s[pos] != 'T' && s[pos] != 't')) return false;
    ++pos;
    if (!readDigits(s, pos, 2, hour) || pos >= s.size() || s[pos++] != ':' || !readDigits(s, pos, 2, minute) ||
        pos >= s.size() || s[pos++] != ':' || !readDigits(s, pos, 2, second))
        return false;
    double fraction = 0;
    if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
        ++pos;
        double scale = 0.1;
        size_t start = pos;
        while (pos < s.size() && isDigit(s[pos])) {
            fraction += (s[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return false;
    }
    if (pos >= s.size()) return false;
    long offset = 0;
    if (s[pos] == 'Z' || s[pos] == 'z') {
        ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
        int sign = s[pos] == '-' ? -1 : 1;
        ++pos;
        int oh, om;
        if (!readDigits(s, pos, 2, oh)) return false;
        if (pos < s.size() && s[pos] == ':') ++pos;
        if (!readDigits(s, pos, 2, om)) return false;
        if (oh > 23 || om > 59) return false;
        offset = sign * (oh * 3600L + om * 60L);
    } else {
        return false;
    }
    if (pos != s.size()) return false;
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 60) return false;
    // A leap second reads as the first second of the next minute.
    double base;
    if (!fromUTCFields(year, month, day, hour, minute, second == 60 ? 59 : second, base)) return false;
    if (second == 60) base += 1;
    out = fromTimeIntervalSince1970(base - static_cast<double>(offset) + fraction);
    return true;
}

std::string Date::httpDate() const {
    std::tm tm{};
    if (!toTm(*this, false, tm)) return "";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// The cookie-date algorithm of RFC 6265 §5.1.1; it also reads the three HTTP date forms.
bool Date::parseHTTPDate(const std::string& text, Date& out) {
    bool foundTime = false, foundDay = false, foundMonth = false, foundYear = false;
    int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isCookieDelimiter(static_cast<unsigned char>(text[i]))) ++i;
        size_t start = i;
        while (i < text.size() && !isCookieDelimiter(static_cast<unsigned char>(text[i]))) ++i;
        std::string_view token(text.data() + start, i - start);
        if (token.empty()) continue;
        int value;
        size_t used;
        if (!foundTime && parseTimeToken(token, hour, minute, second)) {
            foundTime = true;
        } else if (!foundDay && leadingDigits(token, 1, 2, value, used)) {
            foundDay = true;
            day = value;
        } else if (!foundMonth && token.size() >= 3 && [&] {
                       for (int m = 0; m < 12; ++m) {
                           if (equalsIgnoringASCIICase(token.substr(0, 3), kMonths[m])) {
                               month = m + 1;
                               return true;
                           }
                       }
                       return false;
                   }()) {
            foundMonth = true;
        } else if (!foundYear && leadingDigits(token, 2, 4, value, used)) {
            foundYear = true;
            year = value;
        }
    }
    if (!foundTime || !foundDay || !foundMonth || !foundYear) return false;
    if (year >= 70 && year <= 99) year += 1900;
    if (year >= 0 && year <= 69) year += 2000;
    if (day < 1 || day > 31 || year < 1601 || hour > 23 || minute > 59 || second > 59) return false;
    double s;
    if (!fromUTCFields(year, month, day, hour, minute, second, s)) return false;
    out = fromTimeIntervalSince1970(s);
    return true;
}

}  // namespace platform
