#pragma once
// ZUTMutableDictionary: a string-keyed dictionary that any thread may use. Every access runs on the
// instance's own serial queue "ZUTMutableDictionary": reads wait for their answer, writes return at once
// but are applied in order, so a read from any thread sees every write made before it.
// Not to be used from a block already running on the dictionary's own queue (reads would run inline
// there, which is harmless, but nothing in the system does so).
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"

namespace zidedova {

class ZUTMutableDictionary {
public:
    ZUTMutableDictionary();

    std::optional<platform::Value> objectForKey(std::string_view key) const;
    // std::nullopt removes the key.
    void setObject(std::optional<platform::Value> object, std::string key);
    void removeObjectForKey(std::string key);
    // Removes the key only while it still holds `expected`, so a caller working from a snapshot never
    // drops an entry written after it.
    void removeObjectForKey(std::string key, platform::Value expected);
    void removeAllObjects();
    size_t count() const;
    // A snapshot: later writes do not change it.
    platform::ValueDictionary dictionary() const;
    std::string description() const;

private:
    platform::dispatch::DispatchQueue queue_;
    // Shared with queued writes, so a write still pending when the dictionary goes never dangles.
    std::shared_ptr<platform::ValueDictionary> objects_;  // read and written on queue_ only
};

}  // namespace zidedova
