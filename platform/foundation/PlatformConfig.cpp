#include "platform/foundation/PlatformConfig.h"

#include <mutex>

namespace platform {

namespace {

struct State {
    std::mutex mutex;
    PlatformSettings settings;
    std::map<int, std::function<void(bool)>> listeners;
    int nextListener = 1;
};

State& state() {
    static State* s = new State;  // never destroyed: read from threads that may outlive static teardown
    return *s;
}

void notifyNetwork(bool up) {
    std::map<int, std::function<void(bool)>> listeners;
    {
        std::lock_guard lock(state().mutex);
        listeners = state().listeners;
    }
    for (auto& [id, listener] : listeners) listener(up);
}

}  // namespace

PlatformSettings PlatformConfig::current() {
    std::lock_guard lock(state().mutex);
    return state().settings;
}

void PlatformConfig::set(PlatformSettings settings) {
    bool changed;
    bool up = settings.networkUp;
    {
        std::lock_guard lock(state().mutex);
        changed = state().settings.networkUp != up;
        state().settings = std::move(settings);
    }
    if (changed) notifyNetwork(up);
}

void PlatformConfig::update(const std::function<void(PlatformSettings&)>& change) {
    bool changed;
    bool up;
    {
        std::lock_guard lock(state().mutex);
        bool before = state().settings.networkUp;
        change(state().settings);
        up = state().settings.networkUp;
        changed = before != up;
    }
    if (changed) notifyNetwork(up);
}

bool PlatformConfig::networkUp() {
    std::lock_guard lock(state().mutex);
    return state().settings.networkUp;
}

void PlatformConfig::setNetworkUp(bool up) {
    update([up](PlatformSettings& s) { s.networkUp = up; });
}

OperatingSystemVersion PlatformConfig::systemVersion() {
    std::lock_guard lock(state().mutex);
    return state().settings.systemVersion;
}

std::string PlatformConfig::processName() {
    std::lock_guard lock(state().mutex);
    return state().settings.processName;
}

std::optional<std::string> PlatformConfig::connectTarget(const std::string& hostAndPort) {
    std::lock_guard lock(state().mutex);
    auto it = state().settings.connectTo.find(hostAndPort);
    if (it == state().settings.connectTo.end()) return std::nullopt;
    return it->second;
}

std::string PlatformConfig::deviceRoot() {
    std::lock_guard lock(state().mutex);
    return state().settings.deviceRoot;
}

int PlatformConfig::addNetworkListener(std::function<void(bool)> listener) {
    std::lock_guard lock(state().mutex);
    int id = state().nextListener++;
    state().listeners[id] = std::move(listener);
    return id;
}

void PlatformConfig::removeNetworkListener(int id) {
    std::lock_guard lock(state().mutex);
    state().listeners.erase(id);
}

}  // namespace platform
