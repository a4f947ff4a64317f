// Report files: what the crash handler writes reads back the same, escapes and all, and a file that
// is damaged or cut short is refused with the line that is wrong, never half-read.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "crash_reporter/CrashCapture.h"
#include "crash_reporter/CrashReport.h"

namespace {

using platform::Value;

std::string written(const dodoredized::CrashFacts& facts) {
    std::FILE* file = std::tmpfile();
    EXPECT_TRUE(dodoredized::writeCrashReport(fileno(file), facts));
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
    return text;
}

struct Sample {
    uintptr_t frames[3] = {0x55d4c3a2b1f0, 0x7f0000001234, 0x1};
    dodoredized::ImageEntry images[2];
    dodoredized::CrashFacts facts;
    Sample() {
        images[0].loadAddress = 0x55d4c3a00000;
        std::snprintf(images[0].name, sizeof images[0].name, "/opt/app/tesmar sim");
        images[1].loadAddress = 0x7f0000000000;
        std::snprintf(images[1].name, sizeof images[1].name, "/lib/libc.so.6");
        facts.reportIdentifier = "R-1";
        facts.installationIdentifier = "I-1";
        facts.executionIdentifier = "E-1";
        facts.seconds = 1800000000;
        facts.milliseconds = 7;
        facts.signal = SIGSEGV;
        facts.hasFaultAddress = true;
        facts.faultAddress = 0x10;
        facts.frames = frames;
        facts.frameCount = 3;
        facts.images = images;
        facts.imageCount = 2;
    }
};

TEST(CrashReport, WhatTheHandlerWritesReadsBack) {
    struct Case {
        const char* label;
        int signal;
        bool fault;
        const char* type;
        const char* message;
    } cases[] = {
        {"a bad access", SIGSEGV, true, nullptr, nullptr},
        {"an abort", SIGABRT, false, nullptr, nullptr},
        {"an exception with awkward text", SIGABRT, false, "std::runtime_error",
         "two\nlines, a back\\slash, a tab\t, caf\xc3\xa9 and \x01"},
        {"an exception without a message", SIGABRT, false, "my::Error", ""},
        {"an exception whose text is not UTF-8", SIGABRT, false, "E", "bad \xff byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Sample sample;
        sample.facts.signal = c.signal;
        sample.facts.hasFaultAddress = c.fault;
        sample.facts.exceptionType = c.type;
        sample.facts.exceptionMessage = c.message;
        std::string text = written(sample.facts);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12 + (c.fault ? 1 : 0) + (c.type ? 2 : 0));
        auto report = dodoredized::parseCrashReport(text);
        ASSERT_TRUE(report.ok()) << report.error().localizedDescription() << "\n" << text;
        Value body = dodoredized::uploadBody(*report);
        EXPECT_EQ(body["report_id"], Value("R-1"));
        EXPECT_EQ(body["installation_id"], Value("I-1"));
        EXPECT_EQ(body["execution_id"], Value("E-1"));
        EXPECT_EQ(body["time"], Value(int64_t(1800000000)));
        EXPECT_EQ(report->time, 1800000000.007);
        EXPECT_EQ(body["signal"], Value(c.signal));
        EXPECT_EQ(body["signal_name"], Value(dodoredized::signalName(c.signal)));
        EXPECT_EQ(body["fault_address"], c.fault ? Value("0x10") : Value());
        EXPECT_EQ(body["frames"], Value::array({"0x55d4c3a2b1f0", "0x7f0000001234", "0x1"}));
        EXPECT_EQ(
            body["images"],
            Value::array({Value::dictionary({{"name", "/opt/app/tesmar sim"}, {"load_address", "0x55d4c3a00000"}}),
                          Value::dictionary({{"name", "/lib/libc.so.6"}, {"load_address", "0x7f0000000000"}})}));
        if (!c.type) {
            EXPECT_TRUE(body["exception"].isNull());
            continue;
        }
        EXPECT_EQ(body["exception"]["type"], Value(c.type));
        std::string expected = c.message;
        if (expected == "bad \xff byte") expected = "bad ? byte";
        EXPECT_EQ(body["exception"]["message"], Value(expected));
    }
}

TEST(CrashReport, DamagedOrPartialFilesAreRefused) {
    Sample sample;
    sample.facts.exceptionType = "E";
    sample.facts.exceptionMessage = "m";
    const std::string good = written(sample.facts);
    ASSERT_TRUE(dodoredized::parseCrashReport(good).ok());
    auto without = [&](const std::string& line) {
        std::string text = good;
        auto at = text.find(line + "\n");
        EXPECT_NE(at, std::string::npos) << line;
        return text.erase(at, line.size() + 1);
    };
    auto replaced = [&](const std::string& line, const std::string& with) {
        std::string text = good;
        auto at = text.find(line + "\n");
        EXPECT_NE(at, std::string::npos) << line;
        return text.replace(at, line.size(), with);
    };
    struct Case {
        const char* label;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"another kind of file", "{\"report_id\": \"R-1\"}\n"},
        {"no end line (the writer was cut short)", without("end")},
        {"the last line cut off", good.substr(0, good.size() - 1)},
        {"cut in the middle", good.substr(0, good.size() / 2)},
        {"text after the end", good + "frame 0x1\n"},
        {"no installation identifier", without("installation_id I-1")},
        {"no signal", without("signal 11 SIGSEGV")},
        {"no time", without("time 1800000000.007")},
        {"a second report identifier", replaced("execution_id E-1", "report_id R-2")},
        {"an unknown field", replaced("frame 0x1", "frames 0x1")},
        {"a frame that is not hex", replaced("frame 0x1", "frame 12")},
        {"a frame too wide for an address", replaced("frame 0x1", "frame 0x11112222333344445")},
        {"a signal without its name", replaced("signal 11 SIGSEGV", "signal 11")},
        {"a signal out of range", replaced("signal 11 SIGSEGV", "signal 400 SIGSEGV")},
        {"an exception without its message", without("exception_message m")},
        {"an escape that is not ours", replaced("exception_message m", "exception_message \\q")},
        {"an image without a name", replaced("image 0x7f0000000000 /lib/libc.so.6", "image 0x7f0000000000")},
        {"a time that is not a number", replaced("time 1800000000.007", "time soon")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto report = dodoredized::parseCrashReport(c.text);
        ASSERT_FALSE(report.ok());
        EXPECT_EQ(report.error().domain, dodoredized::kCrashReportErrorDomain);
        EXPECT_EQ(report.error().localizedDescription().rfind("line ", 0), 0u) << report.error().localizedDescription();
    }
}

}  // namespace
