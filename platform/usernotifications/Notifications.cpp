// The centre's pending and delivered notifications live in a file under the device's Library, beside
// the categories, so every process of the device (the app and its service extension) sees the same
// lists. Each change re-reads the file and writes it back (atomically, by rename) while holding the
// lock file, so two processes changing the lists at once lose neither change; the centre's own mutex
// serialises its threads. Without a device (not booted) the lists stay in memory. A write the disk refused
// is kept and tried again (PendingWrites); until it lands, this process's lists are newer than the file
// and are not read over. A damaged file (cut short, random bytes, the wrong shape) is set aside and said,
// and the lists start empty.
#include <algorithm>

#include "platform/foundation/FileLock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PropertyList.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace platform::usernotifications {

namespace {

constexpr size_t kMaxNotificationsFileBytes = 8 * 1024 * 1024;

std::string notificationsPath() {
    auto library = FileManager::defaultManager().directory(SearchPathDirectory::Library);
    if (!library) return {};
    std::string dir = *library + "/UserNotifications";
    if (!FileManager::defaultManager().createDirectory(dir)) return {};
    return dir + "/notifications.plist";
}

// A payload may hold JSON nulls, which a property list cannot: user info is kept as JSON text when it
// is JSON, else as the property-list value itself.
Value encodeUserInfo(const Value& userInfo) {
    if (auto text = json::write(userInfo)) return Value::dictionary({{"json", *text}});
    return Value::dictionary({{"plist", userInfo}});
}

Value decodeUserInfo(const Value& stored) {
    if (const std::string* text = stored["json"].asString()) {
        auto read = json::read(*text);
        if (read && read->isDictionary()) return *read;
    }
    if (stored["plist"].isDictionary()) return stored["plist"];
    return Value::dictionary();
}

Value encodeRequest(const NotificationRequest& r) {
    const auto& c = r.content;
    ValueArray attachments;
    for (const auto& a : c.attachments)
        attachments.push_back(Value::dictionary({{"identifier", a.identifier}, {"url", a.url.absoluteString()}}));
    Value content = Value::dictionary({{"title", c.title},
                                       {"subtitle", c.subtitle},
                                       {"body", c.body},
                                       {"userInfo", encodeUserInfo(c.userInfo)},
                                       {"categoryIdentifier", c.categoryIdentifier},
                                       {"threadIdentifier", c.threadIdentifier},
                                       {"attachments", Value(std::move(attachments))}});
    if (c.badge) content.set("badge", *c.badge);
    if (c.sound) content.set("sound", *c.sound);
    Value out = Value::dictionary({{"identifier", r.identifier}, {"content", std::move(content)}});
    if (r.trigger)
        out.set("trigger", Value::dictionary({{"push", r.trigger->kind == NotificationTrigger::Kind::Push},
                                              {"timeInterval", r.trigger->timeInterval},
                                              {"repeats", r.trigger->repeats},
                                              {"contentAvailable", r.trigger->contentAvailable}}));
    return out;
}

// Entries of the wrong shape are left out.
std::optional<NotificationRequest> decodeRequest(const Value& v) {
    const std::string* id = v["identifier"].asString();
    if (!id) return std::nullopt;
    NotificationRequest r;
    r.identifier = *id;
    const Value& c = v["content"];
    r.content.title = c["title"].stringOr("");
    r.content.subtitle = c["subtitle"].stringOr("");
    r.content.body = c["body"].stringOr("");
    r.content.userInfo = decodeUserInfo(c["userInfo"]);
    r.content.categoryIdentifier = c["categoryIdentifier"].stringOr("");
    r.content.threadIdentifier = c["threadIdentifier"].stringOr("");
    if (c["badge"].isNumber()) r.content.badge = c["badge"].asInteger();
    if (const std::string* sound = c["sound"].asString()) r.content.sound = *sound;
    if (const ValueArray* attachments = c["attachments"].asArray())
        for (const Value& a : *attachments)
            if (auto url = URL::string(a["url"].stringOr("")))
                r.content.attachments.push_back({a["identifier"].stringOr(""), *url});
    const Value& t = v["trigger"];
    if (t.isDictionary()) {
        NotificationTrigger trigger;
        trigger.kind =
            t["push"].boolOr(false) ? NotificationTrigger::Kind::Push : NotificationTrigger::Kind::TimeInterval;
        trigger.timeInterval = t["timeInterval"].doubleOr(0);
        trigger.repeats = t["repeats"].boolOr(false);
        trigger.contentAvailable = t["contentAvailable"].boolOr(false);
        r.trigger = trigger;
    }
    return r;
}

Value encode(const std::vector<NotificationRequest>& pending, const std::vector<Notification>& delivered) {
    ValueArray p, d;
    for (const auto& r : pending) p.push_back(encodeRequest(r));
    for (const auto& n : delivered)
        d.push_back(
            Value::dictionary({{"date", n.date.timeIntervalSince1970()}, {"request", encodeRequest(n.request)}}));
    return Value::dictionary({{"pending", Value(std::move(p))}, {"delivered", Value(std::move(d))}});
}

// Whether a file's contents have the shape encode() gives them.
bool isStoredLists(const Result<Value>& stored) {
    return stored && (*stored)["pending"].asArray() && (*stored)["delivered"].asArray();
}

void decode(const Value& stored, std::vector<NotificationRequest>& pending, std::vector<Notification>& delivered) {
    pending.clear();
    delivered.clear();
    if (const ValueArray* p = stored["pending"].asArray())
        for (const Value& v : *p)
            if (auto r = decodeRequest(v)) pending.push_back(std::move(*r));
    if (const ValueArray* d = stored["delivered"].asArray())
        for (const Value& v : *d)
            if (auto r = decodeRequest(v["request"]))
                delivered.push_back(
                    Notification{Date::fromTimeIntervalSince1970(v["date"].doubleOr(0)), std::move(*r)});
}

}  // namespace

// Reads the device's lists into pending_/delivered_ (kept as they are without a
// device or file), lets `change` work on them and, when it says so, writes them back, all under the
// lock file.
void UserNotificationCenter::withStoredNotifications(const std::function<bool()>& change) const {
    std::string path = notificationsPath();
    if (path.empty()) {
        change();
        return;
    }
    const std::string lockPath = path + ".lock";
    FileLock fileLock(lockPath);
    PendingWrites::removeStaleTemporaryFilesOnce(path);
    if (PendingWrites::isPending(path)) {
        // Ours are the newer lists.
    } else if (auto bytes = FileManager::defaultManager().contentsOfFile(path, kMaxNotificationsFileBytes);
               bytes || bytes.error().code == kFileReadTooLargeError || FileManager::isSpecialFile(bytes.error())) {
        // A file too large, or a FIFO, a socket or a device in its place, is damaged too.
        auto stored = bytes ? plist::read(*bytes, kMaxNotificationsFileBytes) : Result<Value>(bytes.error());
        const bool whole = isStoredLists(stored);
        if (!whole) (void)PendingWrites::setAsideDamagedFile(path);
        decode(whole ? *stored : Value(), pending_, delivered_);
    } else if (FileManager::defaultManager().fileExists(path)) {
        decode(Value(), pending_, delivered_);  // unreadable: start again rather than keep a stale copy
    }
    if (!change()) return;
    PendingWrites::Options options;
    options.lockPath = lockPath;  // held here; a retry takes it
    if (auto bytes = plist::write(encode(pending_, delivered_), plist::Format::Binary))
        (void)PendingWrites::write(path, std::move(*bytes), options);  // a failure is said and retried there
}

}  // namespace platform::usernotifications
