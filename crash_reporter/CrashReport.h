#pragma once
// CrashReport: a report file read back (the format is in CrashCapture.h) and the JSON the kit service
// takes for it:
//   {"report_id", "installation_id", "execution_id", "time" (seconds since 1970), "signal",
//    "signal_name", "fault_address" ("0x…" or null), "exception": {"type", "message"} or null,
//    "frames": ["0x…", ...], "images": [{"name", "load_address"}]}
// Reading never trusts the file: anything out of shape is an error naming the line, so the file can
// be set aside instead of sent.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace dodoredized {

inline constexpr const char* kCrashReportErrorDomain = "com.dodoredized.CrashReport";
inline constexpr size_t kMaxReportBytes = 1024 * 1024;

struct CrashReport {
    struct Exception {
        std::string type;
        std::string message;
    };
    struct Image {
        std::string name;
        uint64_t loadAddress = 0;
    };
    std::string reportIdentifier;
    std::string installationIdentifier;
    std::string executionIdentifier;
    double time = 0;
    int signal = 0;
    std::string signalName;
    std::optional<uint64_t> faultAddress;
    std::optional<Exception> exception;
    std::vector<uint64_t> frames;
    std::vector<Image> images;
};

platform::Result<CrashReport> parseCrashReport(std::string_view text);
platform::Value uploadBody(const CrashReport& report);
std::string hexAddress(uint64_t address);

}  // namespace dodoredized
