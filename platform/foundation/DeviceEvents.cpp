#include "platform/foundation/DeviceEvents.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

namespace platform {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<int, std::shared_ptr<DeviceEvents::Listener>> listeners;
    int nextId = 1;
    std::atomic<size_t> count{0};  // listeners.size(), readable without the lock
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: posts may come from threads during exit
    return *r;
}

void removeListener(int id) {
    std::lock_guard lock(registry().mutex);
    registry().listeners.erase(id);
    registry().count = registry().listeners.size();
}

}  // namespace

void DeviceEvents::post(const std::string& event, Value fields) {
    std::vector<std::shared_ptr<Listener>> listeners;
    {
        std::lock_guard lock(registry().mutex);
        for (auto& [id, l] : registry().listeners) listeners.push_back(l);
    }
    for (auto& l : listeners) (*l)(event, fields);
}

bool DeviceEvents::hasListeners() { return registry().count.load() > 0; }

DeviceEvents::Token& DeviceEvents::Token::operator=(Token&& other) noexcept {
    if (this != &other) {
        if (id_) removeListener(id_);
        id_ = other.id_;
        other.id_ = 0;
    }
    return *this;
}

DeviceEvents::Token::~Token() {
    if (id_) removeListener(id_);
}

DeviceEvents::Token DeviceEvents::addListener(Listener listener) {
    std::lock_guard lock(registry().mutex);
    int id = registry().nextId++;
    registry().listeners[id] = std::make_shared<Listener>(std::move(listener));
    registry().count = registry().listeners.size();
    return Token(id);
}

void consoleLog(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    DeviceEvents::post("console", Value::dictionary({{"text", line}}));
}

}  // namespace platform
