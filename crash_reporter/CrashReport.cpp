#include "crash_reporter/CrashReport.h"

#include <charconv>
#include <cmath>

#include "crash_reporter/CrashCapture.h"
#include "platform/foundation/TextEncoding.h"

namespace dodoredized {

using platform::Value;

namespace {

platform::Error damaged(size_t line, const std::string& why) {
    return platform::Error::withDescription(kCrashReportErrorDomain, 1, "line " + std::to_string(line) + ": " + why);
}

std::optional<uint64_t> parseHex(std::string_view text) {
    if (text.size() < 3 || text.size() > 18 || text.substr(0, 2) != "0x") return std::nullopt;
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data() + 2, text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes the writer's escapes. Text that is not UTF-8 once decoded keeps its ASCII; other bytes
// become '?', since the service takes JSON strings.
std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && hexDigit(text[i + 2]) >= 0 &&
                   hexDigit(text[i + 3]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    if (!platform::text::isValidUTF8(out))
        for (auto& byte : out)
            if (static_cast<unsigned char>(byte) >= 0x80) byte = '?';
    return out;
}

}  // namespace

std::string hexAddress(uint64_t address) {
    char digits[17];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, address, 16);
    return "0x" + std::string(digits, end);
}

platform::Result<CrashReport> parseCrashReport(std::string_view text) {
    if (text.size() > kMaxReportBytes) return damaged(0, "larger than 1 MB");
    CrashReport report;
    bool header = false, ended = false, hasTime = false, hasSignal = false;
    bool hasType = false, hasMessage = false;
    std::string type, message;
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        auto newline = text.find('\n');
        if (newline == std::string_view::npos) return damaged(number, "the last line is cut off");
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline + 1);
        if (ended) return damaged(number, "text after the end line");
        if (!header) {
            if (line != kReportHeaderLine) return damaged(number, "not a crash report");
            header = true;
            continue;
        }
        if (line == "end") {
            ended = true;
            continue;
        }
        auto space = line.find(' ');
        if (space == std::string_view::npos) return damaged(number, "a field without a value");
        std::string_view key = line.substr(0, space), value = line.substr(space + 1);
        auto readText = [&](std::string& into) -> bool {
            if (!into.empty()) return false;
            auto decoded = unescape(value);
            if (!decoded || decoded->empty()) return false;
            into = std::move(*decoded);
            return true;
        };
        bool ok = true;
        if (key == "report_id") {
            ok = readText(report.reportIdentifier);
        } else if (key == "installation_id") {
            ok = readText(report.installationIdentifier);
        } else if (key == "execution_id") {
            ok = readText(report.executionIdentifier);
        } else if (key == "time") {
            double seconds = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            ok = !hasTime && ec == std::errc() && end == value.data() + value.size() && std::isfinite(seconds) &&
                 seconds > 0;
            report.time = seconds;
            hasTime = true;
        } else if (key == "signal") {
            auto gap = value.find(' ');
            int signal = 0;
            std::string_view digits = value.substr(0, gap);
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), signal);
            ok = !hasSignal && gap != std::string_view::npos && ec == std::errc() &&
                 end == digits.data() + digits.size() && signal > 0 && signal < 128;
            report.signal = signal;
            if (ok) report.signalName = std::string(value.substr(gap + 1));
            ok = ok && !report.signalName.empty() && report.signalName.size() < 32 &&
                 report.signalName.rfind("SIG", 0) == 0;
            hasSignal = true;
        } else if (key == "fault_address") {
            auto address = parseHex(value);
            ok = address && !report.faultAddress;
            report.faultAddress = address;
        } else if (key == "exception_type") {
            ok = !hasType && (value.empty() || readText(type));
            hasType = true;
        } else if (key == "exception_message") {
            ok = !hasMessage;
            if (ok && !value.empty()) ok = readText(message);
            hasMessage = true;
        } else if (key == "frame") {
            auto address = parseHex(value);
            ok = address && report.frames.size() < kMaxFrames;
            if (ok) report.frames.push_back(*address);
        } else if (key == "image") {
            auto gap = value.find(' ');
            auto address = parseHex(value.substr(0, gap));
            auto name = gap == std::string_view::npos ? std::nullopt : unescape(value.substr(gap + 1));
            ok = address && name && !name->empty() && report.images.size() < kMaxImages;
            if (ok) report.images.push_back({std::move(*name), *address});
        } else {
            ok = false;
        }
        if (!ok) return damaged(number, "a bad \"" + std::string(key.substr(0, 40)) + "\" field");
    }
    if (!ended) return damaged(number, "no end line: the report is partial");
    if (report.reportIdentifier.empty() || report.installationIdentifier.empty() ||
        report.executionIdentifier.empty() || !hasTime || !hasSignal)
        return damaged(number, "a required field is missing");
    if (hasType != hasMessage) return damaged(number, "an exception without its type or message");
    if (hasType) report.exception = CrashReport::Exception{std::move(type), std::move(message)};
    return report;
}

Value uploadBody(const CrashReport& report) {
    platform::ValueArray frames, images;
    for (uint64_t frame : report.frames) frames.emplace_back(hexAddress(frame));
    for (const auto& image : report.images)
        images.push_back(Value::dictionary({{"name", image.name}, {"load_address", hexAddress(image.loadAddress)}}));
    Value exception =
        report.exception ? Value::dictionary({{"type", report.exception->type}, {"message", report.exception->message}})
                         : Value();
    return Value::dictionary(
        {{"report_id", report.reportIdentifier},
         {"installation_id", report.installationIdentifier},
         {"execution_id", report.executionIdentifier},
         {"time", static_cast<int64_t>(report.time)},
         {"signal", report.signal},
         {"signal_name", report.signalName},
         {"fault_address", report.faultAddress ? Value(hexAddress(*report.faultAddress)) : Value()},
         {"exception", exception},
         {"frames", Value(std::move(frames))},
         {"images", Value(std::move(images))}});
}

}  // namespace dodoredized
