#include "host/Extension.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzSDK.h"
#include "app/Tesmar.h"
#include "host/EventPrinter.h"
#include "host/Interruption.h"
#include "host/LaunchChecks.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/objc/Runtime.h"
#include "platform/usernotifications/UserNotificationCenter.h"

extern char** environ;

namespace tesmar_host {

namespace fs = std::filesystem;
namespace objc = platform::objc;
namespace un = platform::usernotifications;
using platform::DeviceEvents;
using platform::Value;
using platform::ValueArray;

namespace {

constexpr const char* kDidReceive = "didReceiveNotificationRequest:withContentHandler:";
constexpr const char* kWillExpire = "serviceExtensionTimeWillExpire";
constexpr const char* kBuiltInPrincipal = "NotificationService";
// Past the budget, the app side stops waiting for an extension that neither answers nor ends.
constexpr double kExtensionGraceSeconds = 15;

platform::dispatch::Mutex executableMutex;
std::string& executableSlot() {
    static std::string path = "/proc/self/exe";
    return path;
}

// The request the built-in principal is working on (one per extension process).
struct PrincipalState {
    platform::dispatch::Mutex mutex;
    std::shared_ptr<un::NotificationRequest> request GUARDED_BY(mutex);
    std::function<void(un::NotificationContent)> contentHandler GUARDED_BY(mutex);
};
PrincipalState& principal() {
    static PrincipalState* s = new PrincipalState();
    return *s;
}

void registerBuiltInPrincipal() {
    auto& rt = objc::Runtime::shared();
    if (rt.lookUpClass(kBuiltInPrincipal)) return;
    objc::ClassBuilder(rt, kBuiltInPrincipal, rt.rootClass())
        .method(objc::sel(kDidReceive),
                objc::makeImp([](objc::Object*, objc::Selector, std::shared_ptr<un::NotificationRequest> request,
                                 std::function<void(un::NotificationContent)> handler) {
                    {
                        platform::dispatch::MutexLock lock(principal().mutex);
                        principal().request = request;
                        principal().contentHandler = handler;
                    }
                    handler(vezeduduz::VezEduduz::didReceiveNotificationExtensionRequest(*request, nullptr));
                }))
        .method(objc::sel(kWillExpire), objc::makeImp([](objc::Object*, objc::Selector) {
                    std::shared_ptr<un::NotificationRequest> request;
                    std::function<void(un::NotificationContent)> handler;
                    {
                        platform::dispatch::MutexLock lock(principal().mutex);
                        request = principal().request;
                        handler = principal().contentHandler;
                    }
                    if (request && handler)
                        handler(vezeduduz::VezEduduz::serviceExtensionTimeWillExpireRequest(*request, nullptr));
                }))
        .registerClass();
}

std::string relativeTo(const fs::path& path, const fs::path& root) {
    std::error_code ec;
    auto rel = fs::relative(path, root, ec);
    return ec ? path.filename().string() : rel.string();
}

// The first service extension under PlugIns/; with `problems`, every extension bundle the device would
// skip is named there too, with what is wrong with its Info.plist.
std::optional<ServiceExtension> scanPlugIns(const fs::path& appBundle, std::vector<std::string>* problems) {
    std::optional<ServiceExtension> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(appBundle / "PlugIns", ec)) {
        if (entry.path().extension() != ".appex") continue;
        const std::string named = (entry.path() / "Info.plist").string();
        std::string problem;
        std::error_code unknown;
        // Looked at before it is opened: opening a FIFO waits for a writer that never comes.
        if (const auto status = fs::status(named, unknown); fs::exists(status) && !fs::is_regular_file(status)) {
            problem = named + " " + notAFile(status);
        } else if (auto info = platform::plist::readFile(named); !info) {
            std::error_code absent;
            problem = fs::exists(fs::symlink_status(named, absent))
                          ? named + " cannot be read (" + info.error().localizedDescription() + ")"
                          : named + " is missing";
        } else if (!info->isDictionary()) {
            problem = named + " is not a dictionary";
        } else {
            const Value& ext = (*info)["NSExtension"];
            // Another kind of extension: not the notification service's business.
            if (!ext.isDictionary() || ext["NSExtensionPointIdentifier"].stringOr("") != kServiceExtensionPoint)
                continue;
            std::string principalClass = ext["NSExtensionPrincipalClass"].stringOr("");
            if (principalClass.empty())
                problem = named + " names no NSExtensionPrincipalClass";
            else if (!found)
                found = ServiceExtension{entry.path(), principalClass};
        }
        if (!problems && found) break;
        if (problems && !problem.empty()) problems->push_back("the device leaves out an extension: " + problem);
    }
    return found;
}

}  // namespace

std::optional<ServiceExtension> findServiceExtension(const fs::path& appBundle) {
    return scanPlugIns(appBundle, nullptr);
}

std::vector<std::string> serviceExtensionProblems(const fs::path& appBundle) {
    std::vector<std::string> problems;
    scanPlugIns(appBundle, &problems);
    return problems;
}

void setExtensionExecutable(std::string path) {
    platform::dispatch::MutexLock lock(executableMutex);
    executableSlot() = std::move(path);
}

Value contentFields(const un::NotificationContent& c, const fs::path& root) {
    Value fields = Value::dictionary({{"title", c.title}, {"subtitle", c.subtitle}, {"body", c.body}});
    if (c.badge) fields.set("badge", *c.badge);
    fields.set("category", c.categoryIdentifier);
    ValueArray actions;
    if (auto center = un::UserNotificationCenter::current(); center && !c.categoryIdentifier.empty())
        for (const auto& category : center->notificationCategories())
            if (category.identifier == c.categoryIdentifier)
                for (const auto& a : category.actions)
                    actions.push_back(Value::dictionary({{"id", a.identifier}, {"title", a.title}}));
    fields.set("actions", Value(std::move(actions)));
    ValueArray attachments;
    for (const auto& a : c.attachments)
        attachments.push_back(
            Value::dictionary({{"identifier", a.identifier}, {"file", relativeTo(a.url.path(), root)}}));
    fields.set("attachments", Value(std::move(attachments)));
    if (c.sound) fields.set("sound", *c.sound);
    return fields;
}

un::NotificationContent contentFromFields(const Value& fields, const fs::path& root) {
    un::NotificationContent c;
    c.title = fields["title"].stringOr("");
    c.subtitle = fields["subtitle"].stringOr("");
    c.body = fields["body"].stringOr("");
    if (fields["badge"].isNumber()) c.badge = fields["badge"].integerOr(0);
    c.categoryIdentifier = fields["category"].stringOr("");
    if (const auto* sound = fields["sound"].asString()) c.sound = *sound;
    if (const ValueArray* list = fields["attachments"].asArray()) {
        for (const Value& a : *list) {
            std::string file = a["file"].stringOr("");
            if (file.empty() || file.find("..") != std::string::npos) continue;  // stays inside the device
            auto made = un::NotificationAttachment::make(a["identifier"].stringOr(""),
                                                         platform::URL::fileURL((root / file).string()));
            if (made) c.attachments.push_back(std::move(*made));
        }
    }
    return c;
}

void tapAnalyticsEvents() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto& rt = objc::Runtime::shared();
        objc::Class* facade = rt.lookUpClass("DOREdozadedo");
        if (!facade) return;
        auto selector = objc::sel("logEventWithName:parameters:");
        auto original = std::make_shared<objc::Imp>();
        *original = rt.replaceMethod(
            facade->metaclass(), selector,
            objc::makeImp([original](objc::Object* self, objc::Selector cmd, std::string name, Value parameters) {
                DeviceEvents::post("analytics.event", Value::dictionary({{"name", name}, {"parameters", parameters}}));
                objc::callImp<void, std::string, Value>(*original, self, cmd, name, parameters);
            }));
    });
}

std::optional<un::NotificationContent> runServiceExtension(const Options& appOptions, const fs::path& deviceRoot,
                                                           const ServiceExtension& extension, const Value& payload) {
    auto json = platform::json::write(payload);
    if (!json) return std::nullopt;
    std::string executable;
    {
        platform::dispatch::MutexLock lock(executableMutex);
        executable = executableSlot();
    }
    char wallClock[64];
    std::snprintf(wallClock, sizeof wallClock, "%.3f", platform::Date::now().timeIntervalSince1970());
    std::vector<std::string> args = {executable,           "extension",
                                     "--device-root",      deviceRoot.string(),
                                     "--bundle",           extension.appex.string(),
                                     "--payload",          *json,
                                     "--extension-budget", std::to_string(appOptions.extensionBudget),
                                     "--wall-clock",       wallClock};
    if (appOptions.systemVersion) {
        args.push_back("--system-version");
        args.push_back(appOptions.systemVersion->string());
    }
    for (const auto& [from, to] : appOptions.connectTo) {
        args.push_back("--connect-to");
        args.push_back(from + "=" + to);
    }
    for (const auto& pem : appOptions.trustedRootsPEM) {
        args.push_back("--ca");
        args.push_back(pem);
    }
    if (!platform::PlatformConfig::current().networkUp) {
        args.push_back("--network");
        args.push_back("down");
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return std::nullopt;
    }

    // Relays each line as it comes; stops waiting well past the budget.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(int64_t((appOptions.extensionBudget + kExtensionGraceSeconds) * 1000));
    std::optional<un::NotificationContent> content;
    std::string buffer;
    auto handleLine = [&](const std::string& line) {
        auto parsed = platform::json::read(line);
        if (!parsed || !parsed->isDictionary()) return;
        Value fields = *parsed;
        std::string event = fields["event"].stringOr("");
        if (event.empty() || event == "exit") return;
        platform::ValueDictionary rest = *fields.asDictionary();
        rest.erase("event");
        rest["process"] = Value("extension");
        Value relayed(std::move(rest));
        if (event == "extension.content") content = contentFromFields(relayed, deviceRoot);
        DeviceEvents::post(event, relayed);
    };
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{pipeFds[0], POLLIN, 0};
        // A run ended by a signal does not wait out the extension's budget.
        int ready = left.count() <= 0 ? 0 : Interruption::poll(&p, 1, int(left.count()));
        if (ready <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        char chunk[4096];
        ssize_t n = ::read(pipeFds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, size_t(n));
        for (auto nl = buffer.find('\n'); nl != std::string::npos; nl = buffer.find('\n')) {
            handleLine(buffer.substr(0, nl));
            buffer.erase(0, nl + 1);
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // An answer, once printed, counts even when the process had to be stopped after it (as the system
    // shows what the content handler was given); without one the push is delivered as it came.
    return content;
}

int runExtensionProcess(const Options& options, std::FILE* out, std::FILE* err) {
    auto say = [&](const std::string& message) { std::fprintf(err, "tesmar-sim extension: %s\n", message.c_str()); };
    std::error_code ec;
    if (options.deviceRoot.empty() || !fs::is_directory(options.deviceRoot, ec)) {
        say("--device-root must name the app's device directory");
        return 2;
    }
    if (!fs::is_directory(options.bundle, ec)) {
        say("--bundle must name the extension's bundle");
        return 2;
    }
    auto payload = platform::json::read(options.extensionPayload);
    if (!payload || !payload->isDictionary()) {
        say("--payload must be a JSON object");
        return 2;
    }
    auto extension = findServiceExtension(fs::path(options.bundle).parent_path().parent_path());
    std::string principalClass = extension ? extension->principalClass : kBuiltInPrincipal;

    platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
        s.deviceRoot = fs::absolute(options.deviceRoot).string();
        if (options.systemVersion) s.systemVersion = *options.systemVersion;
        for (const auto& [from, to] : options.connectTo) s.connectTo[from] = to;
        for (const auto& pem : options.trustedRootsPEM) s.extraTrustedRootsPEM.push_back(pem);
        s.networkUp = options.networkUp;
    });
    if (options.wallClockStart) {
        // The app's device clock as it stood when it started us; it moves on in real time here.
        auto started = std::chrono::steady_clock::now();
        double at = *options.wallClockStart;
        platform::setWallClockSource([started, at] {
            return at + std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        });
    }
    platform::Bundle::setMainBundlePath(fs::absolute(options.bundle).string());
    platform::ProcessInfo::processInfo().setArguments(options.processArguments());

    EventPrinter printer(out);
    Tesmar::registerClasses();
    registerBuiltInPrincipal();
    tapAnalyticsEvents();

    objc::Class* cls = objc::lookUpClass(principalClass);
    if (!cls) {
        say("no class named " + principalClass + " for the extension's principal class");
        printer.stop();
        return 1;
    }
    platform::ObjectHandle service;
    if (objc::respondsToSelector(static_cast<objc::Object*>(cls), objc::sel("alloc"))) {
        platform::ObjectHandle made =
            objc::send<platform::ObjectHandle>(static_cast<objc::Object*>(cls), objc::sel("alloc"));
        service = objc::send<platform::ObjectHandle>(made, objc::sel("init"));
    } else {
        service = std::make_shared<objc::Object>(cls);  // a plain object of the class
    }

    auto request = std::make_shared<un::NotificationRequest>();
    request->identifier = "extension-request";
    request->content = un::NotificationContent::fromPayload(*payload);
    request->trigger = un::NotificationTrigger::push((*payload)["aps"]["content-available"].integerOr(0) == 1);

    const auto budgetEnd =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(options.extensionBudget * 1000));
    // All of a notification's media downloads end when the budget does, however many there are.
    vezeduduz::VezEduduzHelper::setMediaDownloadLimits({options.extensionBudget, 50 * 1024 * 1024, budgetEnd});

    struct Answer {
        platform::dispatch::Mutex mutex;
        platform::dispatch::ConditionVariable cv;
        std::optional<un::NotificationContent> content GUARDED_BY(mutex);
        bool finished GUARDED_BY(mutex) = false;
    };
    auto answer = std::make_shared<Answer>();
    // The first answer counts. Once the budget has run out only the expiry's counts (it is asked on this
    // thread): the work's own, made when its downloads were cut off at that same moment, comes too late.
    const std::thread::id expiryThread = std::this_thread::get_id();
    std::function<void(un::NotificationContent)> handler = [answer, budgetEnd,
                                                            expiryThread](un::NotificationContent c) {
        platform::dispatch::MutexLock lock(answer->mutex);
        bool inTime = std::this_thread::get_id() == expiryThread || std::chrono::steady_clock::now() < budgetEnd;
        if (!inTime || answer->content) return;
        answer->content = std::move(c);
        answer->cv.notify_all();
    };
    std::thread work([service, request, handler, answer] {
        try {
            objc::send<void, std::shared_ptr<un::NotificationRequest>, std::function<void(un::NotificationContent)>>(
                service, objc::sel(kDidReceive), request, handler);
        } catch (const std::exception& e) {
            DeviceEvents::post("console", Value::dictionary({{"text", std::string("extension failed: ") + e.what()}}));
        }
        platform::dispatch::MutexLock lock(answer->mutex);
        answer->finished = true;
        answer->cv.notify_all();
    });
    bool answered;
    {
        platform::dispatch::MutexLock lock(answer->mutex);
        answer->cv.wait_until(answer->mutex, budgetEnd, [&]() REQUIRES(answer->mutex) {
            return answer->content.has_value() || answer->finished;
        });
        answered = answer->content.has_value();
    }
    if (!answered && objc::respondsToSelector(service, objc::sel(kWillExpire)))
        objc::send<void>(service, objc::sel(kWillExpire));
    un::NotificationContent content;
    {
        platform::dispatch::MutexLock lock(answer->mutex);
        content = answer->content.value_or(request->content);
    }
    // The answer goes to the app at once, as the system takes it; the work still running (bounded: its
    // downloads end with the budget) is waited for below, so it leaves no half-written file.
    Value fields = contentFields(content, fs::absolute(options.deviceRoot));
    fields.set("expired", !answered);
    DeviceEvents::post("extension.content", fields);
    work.join();
    platform::PendingWrites::flushAll();  // the process ends here: what the disk refused gets its last try
    // What it still refused is lost with this process. The answer went to the app all the same: its
    // status stays 0.
    platform::PendingWrites::sayUnsaved();
    printer.stop();
    return 0;
}

}  // namespace tesmar_host
