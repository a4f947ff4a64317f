#include "zidedova_core/diagnostics/ZDVLoglaneLogger.h"

#include <algorithm>

#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/uikit/Application.h"
#include "zidedova_core/ZDVLogger.h"
#include "zidedova_core/diagnostics/internal/ZDVLoglaneLoggerTestAccess.h"
#include "zidedova_core/utilities/ZUTAppEnvironmentUtil.h"

namespace zidedova {

namespace {

constexpr int32_t kLogRequestClientTypeIos = 3;
// A log file is just over 1 MiB at most; anything far larger is not ours to
// upload whole.
constexpr size_t kMaxLogFileBytes = 16 * 1024 * 1024;

platform::dispatch::Mutex& sharedMutex() {
    static platform::dispatch::Mutex m;
    return m;
}
std::shared_ptr<ZDVLoglaneLogger>& sharedSlot() {
    // Never destroyed: the logger's queue may still be at work while the process exits.
    static auto* logger = new std::shared_ptr<ZDVLoglaneLogger>;
    return *logger;
}

}  // namespace

std::shared_ptr<ZDVLoglaneLogger> ZDVLoglaneLogger::sharedInstance() {
    platform::dispatch::MutexLock lock(sharedMutex());
    if (!sharedSlot()) {
        sharedSlot() = make();
        // A fresh process has no logger yet: the next sharedInstance() makes a new one, and the old one
        // stops observing and finishes what it had queued.
        platform::ResetRegistry::add("zidedova.loglane", [] {
            std::shared_ptr<ZDVLoglaneLogger> old;
            {
                platform::dispatch::MutexLock lock(sharedMutex());
                old = std::move(sharedSlot());
            }
            if (old) {
                old->backgroundObserver_.remove();
                old->queue_.sync([] {});
            }
        });
    }
    return sharedSlot();
}

ZDVLoglaneLogger::ZDVLoglaneLogger()
    : queue_(kZDVLoglaneQueueLabel), serverURL_(*platform::URL::string(kZDVLoglaneServiceURL)) {}

std::shared_ptr<ZDVLoglaneLogger> ZDVLoglaneLogger::make() {
    std::shared_ptr<ZDVLoglaneLogger> logger(new ZDVLoglaneLogger());
    logger->start();
    return logger;
}

void ZDVLoglaneLogger::start() {
    if (auto caches = platform::FileManager::defaultManager().directory(platform::SearchPathDirectory::Caches);
        caches.ok())
        logDirectory_ = caches.value() + "/" + kZDVLoglaneDirectoryName;
    network_ = ZUTNetwork::make(kZDVLoglaneServiceHost);
    std::weak_ptr<ZDVLoglaneLogger> weak = shared_from_this();
    backgroundObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(platform::uikit::kApplicationDidEnterBackgroundNotification), nullptr,
        [weak](const platform::Notification&) {
            if (auto self = weak.lock()) self->flushWithCompletionHandler(nullptr);
        });
    queue_.async([weak] {
        if (auto self = weak.lock()) {
            self->queue_.assertCurrent();
            self->scheduleNextSend();
        }
    });
}

ZDVLoglaneLogger::~ZDVLoglaneLogger() { backgroundObserver_.remove(); }

// ---------------------------------------------------------------- settings

void ZDVLoglaneLogger::setServerURL(const platform::URL& url) {
    platform::dispatch::MutexLock lock(settingsMutex_);
    serverURL_ = url;
}

platform::URL ZDVLoglaneLogger::serverURL() const {
    platform::dispatch::MutexLock lock(settingsMutex_);
    return serverURL_;
}

void ZDVLoglaneLogger::setSendDelayMillis(int64_t millis) {
    platform::dispatch::MutexLock lock(settingsMutex_);
    sendDelayMillis_ = millis;
}

void ZDVLoglaneLogger::setInstallIdentifier(std::optional<std::string> identifier) {
    platform::dispatch::MutexLock lock(settingsMutex_);
    installIdentifier_ = std::move(identifier);
}

void ZDVLoglaneLogger::setDelegate(const std::shared_ptr<ZDVLoglaneLoggerDelegate>& delegate) {
    platform::dispatch::MutexLock lock(settingsMutex_);
    delegate_ = delegate;
}

void ZDVLoglaneLoggerTestAccess::drainQueue(const ZDVLoglaneLogger& logger) { logger.waitForWrites(); }

void ZDVLoglaneLoggerTestAccess::runOnQueue(const ZDVLoglaneLogger& logger, std::function<void()> block) {
    logger.queue_.async(std::move(block));
}

bool ZDVLoglaneLoggerTestAccess::sendScheduled(const ZDVLoglaneLogger& logger) {
    bool scheduled = false;
    logger.queue_.sync([&] {
        logger.queue_.assertCurrent();
        scheduled = logger.sendScheduled_;
    });
    return scheduled;
}

// ---------------------------------------------------------------- logging

void ZDVLoglaneLogger::logEvent(const LLNPBLogEvent& event, int32_t logSource, const std::string& account) {
    std::shared_ptr<LLNPBLogEvent> copy = NANOMake<LLNPBLogEvent>(event.messageInfo());
    if (!copy) return;
    if (!NANOHasField(*copy, LLNPBLogEvent::event_time_ms))
        NANOSetInt64(*copy, LLNPBLogEvent::event_time_ms, ZDVLoglaneCurrentTimeMillis());
    if (!NANOHasField(*copy, LLNPBLogEvent::event_uptime_ms))
        NANOSetInt64(*copy, LLNPBLogEvent::event_uptime_ms, ZDVLoglaneUptimeMillis());
    auto self = shared_from_this();
    queue_.async([self, copy, logSource, account] {
        self->queue_.assertCurrent();
        auto record = ZDVLoglaneRecord(*copy);
        if (!record) {
            ZDVLoggerLogError(kZDVLoggerService, "I-COR000017",
                              "Failure to encode data for account %@, logSource %d. Discarding.", account, logSource);
            return;
        }
        self->writeRecord(account, logSource, std::move(*record));
    });
}

void ZDVLoglaneLogger::writeRecord(const std::string& account, int32_t logSource, platform::Bytes record) {
    ZDVLoglaneAccountData& data = accountDataForAccount(account);
    platform::Bytes& unwritten = data.unwrittenForLogSource(logSource);
    if (unwritten.empty() && record.empty()) return;  // landed since
    const bool failing = !unwritten.empty();          // and logged as it began
    if (failing && unwritten.size() + record.size() > maxRequestNumBytes_)
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000017",
                          "Failure to write data for account %@, logSource %d. Discarding.", account, logSource);
    else
        unwritten.insert(unwritten.end(), record.begin(), record.end());
    ZDVLoglaneWriter& writer = data.writerForLogSource(logSource, !failing);
    auto written = writer.writeRecords(unwritten);
    if (written) {
        unwritten.clear();
        if (writer.numBytes() > maxRequestNumBytes_) data.removeWriterForLogSource(logSource);
    } else if (!writer.isOpen()) {
        data.removeWriterForLogSource(logSource);  // the next try makes a file again
    }
    // Said for the source's folder: its files come and go, the folder stays.
    std::function<void()> retry;
    if (!written)
        retry = [weak = weak_from_this(), account, logSource] {
            if (auto self = weak.lock())
                self->queue_.sync([&] {
                    self->queue_.assertCurrent();
                    self->writeRecord(account, logSource, {});
                });
        };
    platform::PendingWrites::report(data.logSourceDirectory(logSource), written, std::move(retry));
}

void ZDVLoglaneLogger::waitForWrites() const {
    queue_.sync([] {});
}

ZDVLoglaneAccountData& ZDVLoglaneLogger::accountDataForAccount(const std::string& account) {
    auto& data = accounts_[account];
    if (!data) data = std::make_unique<ZDVLoglaneAccountData>(logDirectory_ + "/" + ZDVLoglaneEscapeAccount(account));
    return *data;
}

void ZDVLoglaneLogger::flushWriters() {
    for (auto& [account, data] : accounts_) data->flushWriters();
}

void ZDVLoglaneLogger::flushWithCompletionHandler(CompletionHandler completion) {
    auto self = shared_from_this();
    queue_.async([self, completion = std::move(completion)]() mutable {
        self->queue_.assertCurrent();
        self->sendLogsWithCompletionHandler(std::move(completion));
    });
}

void ZDVLoglaneLogger::reachabilityDidChange() {
    std::weak_ptr<ZDVLoglaneLogger> weak = shared_from_this();
    queue_.async([weak] {
        if (auto self = weak.lock()) {
            self->queue_.assertCurrent();
            self->scheduleNextSend();
        }
    });
}

// ---------------------------------------------------------------- the send
// loop

void ZDVLoglaneLogger::scheduleNextSend() {
    if (sendScheduled_ || !network_) return;
    // Listen before looking: a report landing between the two is then either seen here or delivered to
    // us; looking first could miss it and leave no send scheduled at all.
    network_->setReachabilityDelegate(shared_from_this());
    if (!network_->isNetworkConnected()) return;
    network_->setReachabilityDelegate(nullptr);
    sendScheduled_ = true;
    int64_t delay;
    {
        platform::dispatch::MutexLock lock(settingsMutex_);
        delay = sendDelayMillis_;
    }
    std::weak_ptr<ZDVLoglaneLogger> weak = shared_from_this();
    queue_.asyncAfter(double(delay) / 1000.0, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->queue_.assertCurrent();
        self->sendScheduled_ = false;
        self->sendLogsWithCompletionHandler(nullptr);
    });
}

void ZDVLoglaneLogger::updatePendingRequests() {
    for (auto& request : ZDVLoglaneListLogFiles(logDirectory_)) {
        bool listed = std::any_of(pendingRequests_.begin(), pendingRequests_.end(),
                                  [&](const ZDVLoglaneRequest& r) { return r.path == request.path; });
        if (!listed) pendingRequests_.push_back(std::move(request));
    }
}

std::optional<ZDVLoglaneRequest> ZDVLoglaneLogger::nextPendingRequest() {
    if (pendingRequests_.empty()) return std::nullopt;
    ZDVLoglaneRequest last = std::move(pendingRequests_.back());
    pendingRequests_.pop_back();
    return last;
}

void ZDVLoglaneLogger::sendLogsWithCompletionHandler(CompletionHandler completion) {
    if (completion) cycleCompletions_.push_back(std::move(completion));
    flushWriters();
    updatePendingRequests();
    if (cycleRunning_) return;  // the running cycle takes the new files too
    cycleRunning_ = true;
    if (backgroundTaskId_.load() == platform::uikit::kBackgroundTaskInvalid) {
        if (auto app = platform::uikit::Application::shared()) {
            std::weak_ptr<ZDVLoglaneLogger> weak = shared_from_this();
            setBackgroundTaskId(app->beginBackgroundTask([weak] {
                if (auto self = weak.lock()) self->setBackgroundTaskId(platform::uikit::kBackgroundTaskInvalid);
            }));
        }
    }
    std::shared_ptr<ZDVLoglaneLoggerDelegate> delegate;
    {
        platform::dispatch::MutexLock lock(settingsMutex_);
        delegate = delegate_.lock();
    }
    if (delegate) delegate->loglaneLoggerWillSendLogs(*this);
    sendNextPendingRequest();
}

void ZDVLoglaneLogger::finishCycle() {
    cycleRunning_ = false;
    setBackgroundTaskId(platform::uikit::kBackgroundTaskInvalid);
    auto completions = std::move(cycleCompletions_);
    cycleCompletions_.clear();
    for (auto& completion : completions) completion();
}

void ZDVLoglaneLogger::sendNextPendingRequest() {
    if (!network_ || network_->hasUploadInProgress() || uploadRetriesRemaining_.load() < 1) return finishCycle();
    auto next = nextPendingRequest();
    if (!next) {
        scheduleNextSend();
        return finishCycle();
    }
    auto request = logRequestFromPath(next->path, next->logSource);
    auto& fm = platform::FileManager::defaultManager();
    if (!request) {
        (void)fm.removeItem(next->path);  // unreadable or empty: dropped; one left behind is dropped again next time
        auto self = shared_from_this();
        queue_.async([self] {
            self->queue_.assertCurrent();
            self->sendNextPendingRequest();
        });
        return;
    }
    NANOSetInt64(*request, LLNPBLogRequest::request_time_ms, ZDVLoglaneCurrentTimeMillis());
    NANOSetInt64(*request, LLNPBLogRequest::request_uptime_ms, ZDVLoglaneUptimeMillis());
    auto payload = request->protoBuffer();
    auto self = shared_from_this();
    std::string path = next->path;
    auto completion = [self, path](std::shared_ptr<const platform::HTTPURLResponse> response,
                                   std::optional<platform::Bytes>, std::optional<platform::Error> error) {
        self->queue_.assertCurrent();
        // Delivered on "loglane" (the queue given to the post).
        long status = response ? long(response->statusCode()) : 0;
        if (!error && status == 200) {
            (void)platform::FileManager::defaultManager().removeItem(path);  // one left behind is sent again
            self->uploadRetriesRemaining_ = kZDVLoglaneUploadRetries;
            return self->sendNextPendingRequest();
        }
        platform::Value description = error ? platform::Value(error->description()) : platform::Value();
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000020", "Error posting to Loglane: %@, with Status Code: %ld",
                          description, status);
        self->uploadRetriesRemaining_ -= 1;
        self->scheduleNextSend();
        self->finishCycle();
    };
    if (!payload) {
        completion(nullptr, std::nullopt,
                   platform::Error::withDescription(kZDVLoggerService, 0, "The log request could not be encoded"));
        return;
    }
    network_->postURL(serverURL(), *payload, queue_, false, completion);
}

std::shared_ptr<LLNPBLogRequest> ZDVLoglaneLogger::logRequestFromPath(const std::string& path,
                                                                      int32_t logSource) const {
    auto content = platform::FileManager::defaultManager().contentsOfFile(path, kMaxLogFileBytes);
    // An empty batch (a first write that failed and was cut back) has nothing to send.
    if (!content.ok() || content.value().empty()) return nullptr;
    auto request = NANOMake<LLNPBLogRequest>();
    if (!request) return nullptr;
    NANOSetInt32(*request, LLNPBLogRequest::log_source, logSource);
    NANOSetArray(*request, LLNPBLogRequest::serialized_log_events,
                 std::vector<NANOElement>{std::move(content).value()});
    LLNPBIosClientInfo ios;
    NANOSetString(ios, LLNPBIosClientInfo::application_build, applicationBuild_);
    NANOSetString(ios, LLNPBIosClientInfo::os_version, ZUTAppEnvironmentUtil::systemVersion());
    std::optional<std::string> installIdentifier;
    {
        platform::dispatch::MutexLock lock(settingsMutex_);
        installIdentifier = installIdentifier_;
    }
    if (installIdentifier && !installIdentifier->empty())
        NANOSetString(ios, LLNPBIosClientInfo::install_identifier, *installIdentifier);
    LLNPBClientInfo client;
    NANOSetInt32(client, LLNPBClientInfo::client_type, kLogRequestClientTypeIos);
    NANOSetMessage(client, LLNPBClientInfo::ios_client_info, &ios);
    NANOSetMessage(*request, LLNPBLogRequest::client_info, &client);
    if (zwiebackCookie_) NANOSetString(*request, LLNPBLogRequest::zwieback_cookie, *zwiebackCookie_);
    return request;
}

void ZDVLoglaneLogger::setBackgroundTaskId(uint64_t identifier) {
    uint64_t old = backgroundTaskId_.exchange(identifier);
    if (old == platform::uikit::kBackgroundTaskInvalid) return;
    if (auto app = platform::uikit::Application::shared()) app->endBackgroundTask(old);
}

}  // namespace zidedova
