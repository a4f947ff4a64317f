#pragma once
// Shared by the request tests: a fresh device per test, a loopback test server, and waiting on the
// main loop for network events.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Rivulet/Source/Rivulet.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/PlatformConfig.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestHttpServer.h"

namespace req_test {

using namespace rivulet;
using platform::dispatch::MainLoop;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

struct DeviceRoot : tesmar_testing::TemporaryDeviceRoot {
    DeviceRoot() : TemporaryDeviceRoot("rivulet-req") {}
};

inline bool waitFor(const std::function<bool()>& done, double seconds = 20) {
    return MainLoop::shared().runUntil(done, seconds);
}

// Records what completion closures saw, from whatever thread they ran on.
template <class T>
class Collected {
public:
    void add(T v) {
        std::lock_guard lock(m_);
        items_.push_back(std::move(v));
    }
    std::vector<T> items() const {
        std::lock_guard lock(m_);
        return items_;
    }
    size_t size() const {
        std::lock_guard lock(m_);
        return items_.size();
    }

private:
    mutable std::mutex m_;
    std::vector<T> items_;
};

inline std::string text(const std::optional<platform::Bytes>& b) { return b ? std::string(b->begin(), b->end()) : ""; }

class RequestTest : public ::testing::Test {
protected:
    DeviceRoot device;
    TestHttpServer server;
    std::shared_ptr<SessionManager> manager =
        SessionManager::make(platform::URLSessionConfiguration::ephemeralSessionConfiguration());
    void TearDown() override { MainLoop::shared().runUntilIdle(); }
};

}  // namespace req_test
