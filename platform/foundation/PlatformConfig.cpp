#include "platform/foundation/PlatformConfig.h"

#include <charconv>
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

std::optional<OperatingSystemVersion> OperatingSystemVersion::parse(const std::string& text) {
    OperatingSystemVersion v{0, 0, 0};
    int* parts[3] = {&v.major, &v.minor, &v.patch};
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 3; ++i) {
        auto [next, ec] = std::from_chars(p, end, *parts[i]);
        if (ec != std::errc() || next == p || *parts[i] < 0) return std::nullopt;
        p = next;
        if (p == end) return v;
        if (*p != '.' || i == 2) return std::nullopt;
        ++p;
    }
    return std::nullopt;
}

std::string OperatingSystemVersion::string() const {
    std::string s = std::to_string(major) + "." + std::to_string(minor);
    if (patch) s += "." + std::to_string(patch);
    return s;
}

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
