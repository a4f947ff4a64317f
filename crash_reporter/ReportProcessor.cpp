#include "crash_reporter/ReportProcessor.h"

#include "crash_reporter/CrashReport.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"

namespace dodoredized {

using platform::Value;

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

ReportProcessor::ReportProcessor(std::string reportsDirectory, std::string damagedDirectory,
                                 std::string currentReportPath, Upload upload, std::shared_ptr<SdkLog> log)
    : reportsDirectory_(std::move(reportsDirectory)), damagedDirectory_(std::move(damagedDirectory)),
      currentReportPath_(std::move(currentReportPath)), upload_(std::move(upload)), log_(std::move(log)),
      queue_(kReportsQueueLabel) {}

void ReportProcessor::start(std::function<void(Outcome)> finished) {
    queue_.async([self = shared_from_this(), finished = std::move(finished)]() mutable {
        self->finished_ = std::move(finished);
        self->outcome_ = {};
        self->pending_.clear();
        auto names = platform::FileManager::defaultManager().contentsOfDirectory(self->reportsDirectory_);
        if (names)
            for (const auto& name : *names)
                if (endsWith(name, kReportFileExtension) &&
                    self->reportsDirectory_ + "/" + name != self->currentReportPath_)
                    self->pending_.push_back(name);
        self->next();
    });
}

void ReportProcessor::setAside(const std::string& name, const std::string& why) {
    auto& files = platform::FileManager::defaultManager();
    std::string from = reportsDirectory_ + "/" + name;
    std::string to = damagedDirectory_ + "/" + name;
    auto made = files.createDirectory(damagedDirectory_);
    if (files.fileExists(to)) (void)files.removeItem(to);  // one that stays makes the move below fail, which counts
    auto moved = made ? files.moveItem(from, to) : platform::Result<void>(made.error());
    // A file that cannot be moved aside is removed, so it does not stop every later launch.
    if (!moved) (void)files.removeItem(from);
    ++outcome_.setAside;
    log_->warning("[Dodoredized] Set aside the damaged crash report " + name + ": " + why);
}

void ReportProcessor::next() {
    if (pending_.empty()) {
        log_->info("[Dodoredized] Crash reports processed: " + std::to_string(outcome_.sent) + " sent, " +
                   std::to_string(outcome_.kept) + " kept for the next launch, " + std::to_string(outcome_.setAside) +
                   " set aside");
        if (finished_) finished_(outcome_);
        finished_ = nullptr;
        return;
    }
    std::string name = pending_.front();
    pending_.erase(pending_.begin());
    std::string path = reportsDirectory_ + "/" + name;
    auto text = platform::FileManager::defaultManager().stringWithContentsOfFile(path, kMaxReportBytes);
    if (!text) {
        setAside(name, text.error().localizedDescription());
        return next();
    }
    auto report = parseCrashReport(*text);
    if (!report) {
        setAside(name, report.error().localizedDescription());
        return next();
    }
    std::string id = report->reportIdentifier;
    upload_(uploadBody(*report), [self = shared_from_this(), path, id](platform::Result<void> answer) {
        self->queue_.async([self, path, id, answer = std::move(answer)] {
            if (answer) {
                if (auto removed = platform::FileManager::defaultManager().removeItem(path); !removed)
                    self->log_->warning("[Dodoredized] Sent crash report " + id +
                                        " but could not delete it: " + removed.error().localizedDescription());
                ++self->outcome_.sent;
                self->log_->info("[Dodoredized] Sent crash report " + id);
                platform::DeviceEvents::post("crash.report.sent", Value::dictionary({{"report_id", id}}));
            } else {
                ++self->outcome_.kept;
                self->log_->warning("[Dodoredized] Could not send crash report " + id + " (" +
                                    answer.error().localizedDescription() + "); it stays for the next launch");
            }
            self->next();
        });
    });
}

}  // namespace dodoredized
