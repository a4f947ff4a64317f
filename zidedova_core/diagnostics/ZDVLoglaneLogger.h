#pragma once
// ZDVLoglaneLogger: the diagnostics logger. Events are written at once to per-account, per-source files
// under <Caches>/ZDVLoglaneLogger (see ZDVLoglaneStore.h; a new file past 1 MiB) and each file is later
// uploaded as one LLNPBLogRequest by a gzip POST to the diagnostics log service ("/log"), newest file
// first. Only a 200 deletes the file and restores the six retries; after six failures in a row this
// process sends nothing more.
//
// A write the disk refuses (full, read-only) is said once for the source's folder (storage.failed, as for
// every device file: PendingWrites.h) and its records are kept in memory, up to one file's worth (later
// events are discarded, as logged), until a write of them lands: the source's next event, a retry after
// a short delay, the application leaving the foreground or ending (storage.recovered). A send cycle
// uploads only what reached the disk.
//
// Send loop: a cycle 15 minutes after start-up and after each drained or failed cycle, while the network
// is reachable (else after the next reachability change); at once when the application enters the
// background or on a flush. A cycle holds the background task "ZDVLoglaneLogger.sendLogs" from its start
// to its end.
//
// Threads: every step (writes, flushes, timers, reachability changes, upload completions) runs on the
// serial queue "loglane", and one cycle runs at a time: a flush during a cycle joins it (its files are
// added to the pending list, which never holds a path twice). Every completion block given to a flush is
// called exactly once, on "loglane", whichever way the cycle ends (drained, failed, stopped).
// logEvent and flush may be called from any thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/URL.h"
#include "zidedova_core/diagnostics/ZDVDiagnosticsMessages.h"
#include "zidedova_core/diagnostics/ZDVLoglaneStore.h"
#include "zidedova_core/utilities/ZUTNetwork.h"

namespace zidedova {

// The diagnostics log service (a deployment setting; tests and the demo map the host with connect-to).
inline constexpr const char* kZDVLoglaneServiceHost = "loglane.vodezu.com";
inline constexpr const char* kZDVLoglaneServiceURL = "https://loglane.vodezu.com/log";
inline constexpr const char* kZDVLoglaneQueueLabel = "loglane";
inline constexpr const char* kZDVLoglaneBackgroundTaskName = "ZDVLoglaneLogger.sendLogs";
inline constexpr const char* kZDVLoglaneDirectoryName = "ZDVLoglaneLogger";
inline constexpr int32_t kZDVLoglaneUploadRetries = 6;

class ZDVLoglaneLoggerDelegate {
public:
    virtual ~ZDVLoglaneLoggerDelegate() = default;
    virtual void loglaneLoggerWillSendLogs(class ZDVLoglaneLogger& logger) = 0;
};

class ZDVLoglaneLogger : public ZUTNetworkReachabilityDelegate, public std::enable_shared_from_this<ZDVLoglaneLogger> {
public:
    using CompletionHandler = std::function<void()>;

    // The process logger, made on first use.
    static std::shared_ptr<ZDVLoglaneLogger> sharedInstance();

    // A logger over <Caches>/ZDVLoglaneLogger (made when the device is booted). Starts observing the
    // background notification and schedules the first send.
    static std::shared_ptr<ZDVLoglaneLogger> make();
    ~ZDVLoglaneLogger() override;

    // Stamps event_time_ms and event_uptime_ms when absent, then writes the event on the queue.
    void logEvent(const LLNPBLogEvent& event, int32_t logSource, const std::string& account);
    // Starts a cycle on the queue (or joins the running one).
    void flushWithCompletionHandler(CompletionHandler completion);
    // Returns once every event logged before the call is in its file. Not from "loglane" itself.
    void waitForWrites() const;

    // ZUTNetworkReachabilityDelegate.
    void reachabilityDidChange() override;

    // Settings (read on the queue; set them before logging).
    void setServerURL(const platform::URL& url);
    platform::URL serverURL() const;
    void setSendDelayMillis(int64_t millis);
    void setInstallIdentifier(std::optional<std::string> identifier);
    void setDelegate(const std::shared_ptr<ZDVLoglaneLoggerDelegate>& delegate);
    const std::string& logDirectory() const { return logDirectory_; }
    int32_t uploadRetriesRemaining() const { return uploadRetriesRemaining_.load(); }

private:
    friend struct ZDVLoglaneLoggerTestAccess;

    ZDVLoglaneLogger();
    void start();

    // All on the queue.
    ZDVLoglaneAccountData& accountDataForAccount(const std::string& account) REQUIRES(queue_);
    // Writes the source's records the disk refused before, then `record`; a refusal is said and kept as
    // the header says.
    void writeRecord(const std::string& account, int32_t logSource, platform::Bytes record) REQUIRES(queue_);
    std::shared_ptr<LLNPBLogRequest> logRequestFromPath(const std::string& path, int32_t logSource) const
        REQUIRES(queue_);
    void flushWriters() REQUIRES(queue_);
    void updatePendingRequests() REQUIRES(queue_);
    void sendLogsWithCompletionHandler(CompletionHandler completion) REQUIRES(queue_);
    std::optional<ZDVLoglaneRequest> nextPendingRequest() REQUIRES(queue_);
    void scheduleNextSend() REQUIRES(queue_);
    void sendNextPendingRequest() REQUIRES(queue_);
    void finishCycle() REQUIRES(queue_);
    // Any thread (the system's expiry handler too).
    void setBackgroundTaskId(uint64_t identifier);

    platform::dispatch::DispatchQueue queue_;
    std::atomic<uint64_t> backgroundTaskId_{0};
    std::atomic<int32_t> uploadRetriesRemaining_{kZDVLoglaneUploadRetries};
    std::string logDirectory_;
    std::shared_ptr<ZUTNetwork> network_;
    platform::NotificationCenter::ObserverToken backgroundObserver_;

    mutable platform::dispatch::Mutex settingsMutex_;
    platform::URL serverURL_ GUARDED_BY(settingsMutex_);
    int64_t sendDelayMillis_ GUARDED_BY(settingsMutex_) = 900000;
    std::optional<std::string> installIdentifier_ GUARDED_BY(settingsMutex_);
    std::weak_ptr<ZDVLoglaneLoggerDelegate> delegate_ GUARDED_BY(settingsMutex_);

    // Queue-confined.
    std::string applicationBuild_ GUARDED_BY(queue_) = "0";
    uint64_t maxRequestNumBytes_ GUARDED_BY(queue_) = 1048576;
    std::optional<std::string> zwiebackCookie_ GUARDED_BY(queue_);
    std::map<std::string, std::unique_ptr<ZDVLoglaneAccountData>> accounts_ GUARDED_BY(queue_);
    bool sendScheduled_ GUARDED_BY(queue_) = false;
    bool cycleRunning_ GUARDED_BY(queue_) = false;
    std::vector<ZDVLoglaneRequest> pendingRequests_ GUARDED_BY(queue_);
    std::vector<CompletionHandler> cycleCompletions_ GUARDED_BY(queue_);
};

}  // namespace zidedova
