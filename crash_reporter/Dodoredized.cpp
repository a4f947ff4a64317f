#include "crash_reporter/Dodoredized.h"

#include <vector>

#include "crash_reporter/CrashCapture.h"
#include "kit_platform/Verira.h"
#include "kit_platform/Vizized.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/UUID.h"

namespace dodoredized {

using platform::objc::makeImp;
using platform::objc::Object;
using platform::objc::sel;
using platform::objc::Selector;

std::shared_ptr<Dodoredized> Dodoredized::sharedInstance() {
    static std::shared_ptr<Dodoredized> shared = std::make_shared<Dodoredized>();
    return shared;
}

void Dodoredized::initializeIfNeeded() { sharedInstance()->start(); }

bool Dodoredized::start() {
    bool expected = false;
    if (!started_.compare_exchange_strong(expected, true)) return false;
    startCount_.fetch_add(1);

    // No folder is made here: the crash handler, the log and the processor each make theirs with the first
    // file they put in it, so a launch that has nothing to keep writes nothing on its way.
    std::string base, reports;
    if (auto caches = platform::FileManager::defaultManager().directory(platform::SearchPathDirectory::Caches)) {
        base = *caches + "/" + kDirectoryName;
        reports = base + "/" + kReportsDirectoryName;
    }
    auto log = std::make_shared<SdkLog>(base.empty() ? std::string() : base + "/" + kSdkLogFileName);
    auto sdk = verira::Verira::sharedSDK();
    std::string installation = sdk->installationIdentifier();
    std::string execution = sdk->executionIdentifier();
    // Started without the kit platform (tests): this launch still gets identifiers of its own.
    if (installation.empty()) installation = platform::UUID::random().uuidString();
    if (execution.empty()) execution = platform::UUID::random().uuidString();
    std::string reportId = platform::UUID::random().uuidString();
    std::string reportPath = reports.empty() ? std::string() : reports + "/" + reportId + kReportFileExtension;

    std::vector<std::string> lines;  // for sdk.log, off the launch's road (below)
    if (reports.empty()) {
        log->warning("[Dodoredized] The device has no caches directory; crashes are not captured");
    } else if (kSanitizerBuild) {
        lines.push_back("[Dodoredized] Crash capture is off in a sanitizer build (the sanitizer owns the signals)");
    } else if (installCrashCapture({reportPath, reportId, installation, execution, log->path()})) {
        lines.push_back("[Dodoredized] Crash capture on for execution " + execution + " (report " + reportId + ")");
    } else {
        log->warning("[Dodoredized] Crash capture could not be installed");
    }

    std::shared_ptr<ReportProcessor> processor;
    auto client = sdk->serviceClient();
    auto bundle = platform::Bundle::mainBundle();
    std::string bundleId = bundle ? bundle->bundleIdentifier().value_or("") : "";
    if (!reports.empty() && client && !bundleId.empty()) {
        processor = std::make_shared<ReportProcessor>(
            reports, base + "/" + kDamagedDirectoryName, reportPath,
            [client, bundleId](const platform::Value& body, ReportProcessor::Done done) {
                client->uploadReport(bundleId, body, std::move(done));
            },
            log);
    } else if (!reports.empty()) {
        lines.push_back("[Dodoredized] No kit service to send crash reports to; they are kept");
    }
    {
        platform::dispatch::MutexLock lock(mutex_);
        reportsDirectory_ = reports;
        currentReportPath_ = reportPath;
        log_ = log;
        processor_ = processor;
    }
    // The log's first line makes its file: on the reporter's queue, ahead of the earlier reports' processing.
    if (!lines.empty())
        (processor ? processor->queue() : platform::dispatch::DispatchQueue(kReportsQueueLabel))
            .async([log, lines = std::move(lines)] {
                for (const auto& line : lines) log->info(line);
            });
    if (processor) processor->start();

    platform::DeviceEvents::post(
        "kit.start", platform::Value::dictionary(
                         {{"kit", kClassName}, {"version", kKitDisplayVersion}, {"build", kKitBuildVersion}}));
    vizized::Vizized::startWithBetaToken(std::nullopt);
    return true;
}

std::string Dodoredized::reportsDirectory() const {
    platform::dispatch::MutexLock lock(mutex_);
    return reportsDirectory_;
}

std::string Dodoredized::currentReportPath() const {
    platform::dispatch::MutexLock lock(mutex_);
    return currentReportPath_;
}

std::shared_ptr<ReportProcessor> Dodoredized::processor() const {
    platform::dispatch::MutexLock lock(mutex_);
    return processor_;
}

void registerClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The crash reporter brings the event kit along.
        vizized::registerClasses();
        auto& rt = platform::objc::Runtime::shared();
        if (rt.lookUpClass(kClassName)) return;
        platform::objc::ClassBuilder builder(rt, kClassName, rt.rootClass());
        if (!builder.valid()) return;
        builder.protocol(verira::kitProtocol())
            .classMethod(sel("bundleIdentifier"),
                         makeImp([](Object*, Selector) -> std::string { return Dodoredized::bundleIdentifier(); }))
            .classMethod(sel("kitDisplayVersion"),
                         makeImp([](Object*, Selector) -> std::string { return Dodoredized::kitDisplayVersion(); }))
            .classMethod(sel("kitBuildVersion"),
                         makeImp([](Object*, Selector) -> std::string { return Dodoredized::kitBuildVersion(); }))
            .classMethod(sel("initializeIfNeeded"),
                         makeImp([](Object*, Selector) { Dodoredized::initializeIfNeeded(); }))
            .registerClass();
    });
}

platform::objc::Class* runtimeClass() {
    registerClasses();
    return platform::objc::Runtime::shared().lookUpClass(kClassName);
}

}  // namespace dodoredized
