// The centre's categories live in a file under the device's Library, so that every process of the
// device (the app and its service extension) sees the same set: a category an extension registers is
// there when the app's user taps one of its buttons. A lock file serialises the processes; the
// centre's own mutex serialises its threads.
#include <algorithm>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PropertyList.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace platform::usernotifications {

namespace {

constexpr size_t kMaxCategoriesFileBytes = 1024 * 1024;

std::string categoriesPath() {
    auto library = FileManager::defaultManager().directory(SearchPathDirectory::Library);
    if (!library) return {};
    std::string dir = *library + "/UserNotifications";
    if (!FileManager::defaultManager().createDirectory(dir)) return {};
    return dir + "/categories.plist";
}

Value encode(const std::vector<NotificationCategory>& categories) {
    ValueArray out;
    for (const auto& c : categories) {
        ValueArray actions;
        for (const auto& a : c.actions)
            actions.push_back(
                Value::dictionary({{"identifier", a.identifier}, {"title", a.title}, {"options", a.options}}));
        ValueArray intents;
        for (const auto& i : c.intentIdentifiers) intents.push_back(Value(i));
        out.push_back(Value::dictionary({{"identifier", c.identifier},
                                         {"actions", Value(std::move(actions))},
                                         {"intentIdentifiers", Value(std::move(intents))},
                                         {"options", c.options}}));
    }
    return Value(std::move(out));
}

// A damaged file reads as no categories; entries of the wrong shape are left out.
std::vector<NotificationCategory> decode(const Value& stored) {
    std::vector<NotificationCategory> out;
    const ValueArray* list = stored.asArray();
    if (!list) return out;
    for (const Value& item : *list) {
        const std::string* id = item["identifier"].asString();
        if (!id) continue;
        NotificationCategory c{*id, {}, {}, item["options"].integerOr(0)};
        if (const ValueArray* actions = item["actions"].asArray())
            for (const Value& a : *actions)
                if (const std::string* aid = a["identifier"].asString())
                    c.actions.push_back({*aid, a["title"].stringOr(""), a["options"].integerOr(0)});
        if (const ValueArray* intents = item["intentIdentifiers"].asArray())
            for (const Value& i : *intents)
                if (const std::string* s = i.asString()) c.intentIdentifiers.push_back(*s);
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace

void UserNotificationCenter::setNotificationCategories(std::vector<NotificationCategory> categories) {
    std::vector<NotificationCategory> unique;  // one per identifier, the last one given
    for (auto& c : categories) {
        std::erase_if(unique, [&](const NotificationCategory& u) { return u.identifier == c.identifier; });
        unique.push_back(std::move(c));
    }
    dispatch::MutexLock lock(mutex_);
    categories_ = unique;
    std::string path = categoriesPath();
    if (path.empty()) return;
    const std::string lockPath = path + ".lock";
    FileLock fileLock(lockPath);
    PendingWrites::removeStaleTemporaryFilesOnce(path);
    PendingWrites::Options options;
    options.lockPath = lockPath;  // held here; a retry takes it
    if (auto bytes = plist::write(encode(unique), plist::Format::Binary))
        (void)PendingWrites::write(path, std::move(*bytes), options);  // a failure is said and retried there
}

std::vector<NotificationCategory> UserNotificationCenter::notificationCategories() const {
    dispatch::MutexLock lock(mutex_);
    std::string path = categoriesPath();
    if (path.empty()) return categories_;
    FileLock fileLock(path + ".lock");
    if (PendingWrites::isPending(path)) return categories_;  // the disk has not taken them yet
    auto stored = plist::readFile(path, kMaxCategoriesFileBytes);
    return stored ? decode(*stored) : std::vector<NotificationCategory>{};
}

void UserNotificationCenter::getNotificationCategoriesWithCompletionHandler(
    std::function<void(std::vector<NotificationCategory>)> completion) {
    if (!completion) return;
    auto categories = notificationCategories();
    dispatch::DispatchQueue::global().async(
        [completion = std::move(completion), categories = std::move(categories)] { completion(categories); });
}

}  // namespace platform::usernotifications
