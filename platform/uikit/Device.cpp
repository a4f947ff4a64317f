#include "platform/uikit/Device.h"

#include <exception>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"

namespace platform::uikit {

namespace {

constexpr const char* kVendorIdentifiersFile = "VendorIdentifiers.plist";

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

Device& Device::currentDevice() {
    static Device* device = new Device;  // read from threads that may outlive static teardown
    return *device;
}

std::string Device::model() const {
    std::string hardware = PlatformConfig::current().deviceModel;
    if (startsWith(hardware, "iPad")) return "iPad";
    if (startsWith(hardware, "iPod")) return "iPod touch";
    return "iPhone";
}

std::string Device::systemVersion() const { return PlatformConfig::systemVersion().string(); }

std::string Device::name() const { return PlatformConfig::current().deviceName; }

std::string Device::vendorOf(const std::string& bundleIdentifier) {
    auto dot = bundleIdentifier.rfind('.');
    if (dot == std::string::npos) return bundleIdentifier;
    return bundleIdentifier.substr(0, dot);
}

std::optional<UUID> Device::identifierForVendor() const {
    if (!PlatformConfig::current().identifierForVendorAvailable) return std::nullopt;
    auto bundle = Bundle::mainBundle();
    auto identifier = bundle ? bundle->bundleIdentifier() : std::nullopt;
    if (!identifier || identifier->empty()) return std::nullopt;
    std::string vendor = vendorOf(*identifier);

    auto& files = FileManager::defaultManager();
    auto library = files.directory(SearchPathDirectory::Library);
    if (!library) return std::nullopt;
    std::string path = *library + "/Device/" + kVendorIdentifiersFile;

    dispatch::MutexLock lock(mutex_);
    // What this process wrote and the disk has not taken yet is newer than the file. A file that is not a
    // dictionary holds nothing worth keeping: it is written anew.
    Value stored = Value::dictionary();
    auto kept = PendingWrites::keptBytes(path);
    if (auto read = kept ? plist::read(*kept) : plist::readFile(path); read && read->isDictionary())
        stored = std::move(*read);
    if (const Value* known = stored.find(vendor); known && known->asString())
        if (auto uuid = UUID::fromString(*known->asString())) return uuid;

    UUID made;
    try {
        made = UUID::random();
    } catch (const std::exception&) {
        return std::nullopt;  // no random source: better no identifier than a guessable one
    }
    stored.set(vendor, Value(made.uuidString()));
    auto bytes = plist::write(stored);
    if (!bytes) return std::nullopt;
    // A write the disk refuses is kept (and read back above) and tried again until it lands.
    PendingWrites::Options options;
    options.makeFolder = true;
    (void)PendingWrites::write(path, std::move(*bytes), options);
    return made;
}

}  // namespace platform::uikit
