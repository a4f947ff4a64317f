#pragma once
// ReportProcessor: the crash reports of earlier launches, read and sent to the kit service off the
// main thread, on the reporter's serial queue "com.dodoredized.reports".
//
// Every "*.crash" file in the reports directory except this launch's own is read in turn (oldest
// name order does not matter: each stands alone). A report that reads whole is uploaded; it is deleted
// only once the service accepted it (then "crash.report.sent" {"report_id"} is posted on the device),
// and stays for the next launch when the upload fails. A damaged or partial file is moved to the
// damaged directory with a warning in sdk.log and on the console; it never stops the others.
//
// Threads: start() from any thread; everything else on the queue. The upload's completion may come
// on any thread.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crash_reporter/SdkLog.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace dodoredized {

inline constexpr const char* kReportsQueueLabel = "com.dodoredized.reports";
inline constexpr const char* kReportFileExtension = ".crash";

class ReportProcessor : public std::enable_shared_from_this<ReportProcessor> {
public:
    using Done = std::function<void(platform::Result<void>)>;
    using Upload = std::function<void(const platform::Value& body, Done done)>;
    struct Outcome {
        int sent = 0;
        int kept = 0;      // the upload failed: tried again next launch
        int setAside = 0;  // damaged or partial
    };

    ReportProcessor(std::string reportsDirectory, std::string damagedDirectory, std::string currentReportPath,
                    Upload upload, std::shared_ptr<SdkLog> log);

    // Processes the reports found now; `finished` (optional) runs on the queue at the end.
    void start(std::function<void(Outcome)> finished = nullptr);
    const platform::dispatch::DispatchQueue& queue() const { return queue_; }

private:
    void next();
    void setAside(const std::string& name, const std::string& why);

    std::string reportsDirectory_;
    std::string damagedDirectory_;
    std::string currentReportPath_;
    Upload upload_;
    std::shared_ptr<SdkLog> log_;
    platform::dispatch::DispatchQueue queue_;
    // Queue-only.
    std::vector<std::string> pending_;
    Outcome outcome_;
    std::function<void(Outcome)> finished_;
};

}  // namespace dodoredized
